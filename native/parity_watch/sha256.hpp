// SHA-256 (FIPS 180-4), for the projection hash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace parity_watch {

std::array<std::uint8_t, 32> sha256(std::string_view data) noexcept;

}  // namespace parity_watch

// The whole layer in one include.
#pragma once

#include "builtins.hpp"
#include "classes.hpp"
#include "function.hpp"
#include "guards.hpp"
#include "module.hpp"
#include "names.hpp"
#include "ops.hpp"
#include "ref.hpp"

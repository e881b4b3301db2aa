// The runtime's store: one bounded ring of records per lane, guarded by the
// runtime's own mutex.
//
// Locking rule: the mutex is held only around the ring operations below, which
// neither allocate Python objects nor release references (either may run
// arbitrary code through the garbage collector or a finaliser). Records are
// built before locking and evicted or drained records are released after
// unlocking, so a thread holding the mutex never waits for the GIL.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "telemetry.hpp"

namespace sdk_telemetry {

class Rings {
public:
    Rings(std::size_t lanes, std::size_t capacity) : lanes_(lanes), capacity_(capacity) {}
    Rings(const Rings&) = delete;
    Rings& operator=(const Rings&) = delete;

    // Stores `record` (taking its reference) in `lane` and gives it the next
    // sequence number; returns the evicted oldest record of that lane (a
    // reference for the caller to release) or nullptr. On std::bad_alloc
    // nothing changes and the caller still owns `record`.
    AnomalyRecordObject* push(std::size_t lane, AnomalyRecordObject* record) {
        std::lock_guard<std::mutex> hold(mu_);
        Lane& l = lanes_[lane];
        record->sequence = next_sequence_;
        AnomalyRecordObject* evicted = nullptr;
        if (l.slots.size() < capacity_) {
            l.slots.push_back(record);  // while a lane is filling, its oldest record is slot 0
        } else {
            evicted = l.slots[l.start];
            l.slots[l.start] = record;
            l.start = (l.start + 1) % capacity_;
            ++dropped_;
        }
        ++next_sequence_;
        return evicted;
    }

    // Every held record, oldest first: new references, or with `take` the
    // rings' own, leaving every ring empty (the caller owns them either way).
    std::vector<AnomalyRecordObject*> collect(bool take) {
        std::vector<AnomalyRecordObject*> out;
        {
            std::lock_guard<std::mutex> hold(mu_);
            out.reserve(held_locked());
            for (Lane& l : lanes_) {
                for (std::size_t i = 0; i < l.slots.size(); ++i) {
                    AnomalyRecordObject* r = l.slots[(l.start + i) % l.slots.size()];
                    if (!take) Py_INCREF(r);
                    out.push_back(r);
                }
                if (take) {
                    l.slots.clear();
                    l.start = 0;
                }
            }
        }
        by_sequence(out);
        return out;
    }

    // Takes one held record out (the caller owns the reference), or nullptr
    // when none is left. Allocates nothing, so deallocation and the garbage
    // collector's clear can empty the rings under any memory pressure; the
    // lock is let go between records because releasing one may run code that
    // comes back to this runtime.
    AnomalyRecordObject* pop_one() noexcept {
        std::lock_guard<std::mutex> hold(mu_);
        for (Lane& l : lanes_) {
            if (l.slots.empty()) continue;
            if (l.start != 0) {  // keep the rest oldest-first for a later snapshot
                std::rotate(l.slots.begin(), l.slots.begin() + static_cast<std::ptrdiff_t>(l.start), l.slots.end());
                l.start = 0;
            }
            AnomalyRecordObject* r = l.slots.back();
            l.slots.pop_back();
            return r;
        }
        return nullptr;
    }

    // Records that were drained but could not be handed out count as dropped.
    void add_dropped(std::uint64_t n) {
        std::lock_guard<std::mutex> hold(mu_);
        dropped_ += n;
    }

    std::uint64_t dropped() {
        std::lock_guard<std::mutex> hold(mu_);
        return dropped_;
    }

    // For the garbage collector, which runs with the GIL held (without a GIL,
    // with every other thread stopped at a safe point) and so never while
    // another thread is inside a ring operation: none has a safe point.
    template <class F>
    int visit(F&& f) {
        std::lock_guard<std::mutex> hold(mu_);
        for (const Lane& l : lanes_) {
            for (AnomalyRecordObject* r : l.slots) {
                if (int rc = f(r)) return rc;
            }
        }
        return 0;
    }

private:
    struct Lane {
        std::vector<AnomalyRecordObject*> slots;
        std::size_t start = 0;  // index of the oldest record once the lane is full
    };

    std::size_t held_locked() const {
        std::size_t n = 0;
        for (const Lane& l : lanes_) n += l.slots.size();
        return n;
    }

    static void by_sequence(std::vector<AnomalyRecordObject*>& v) {
        std::sort(v.begin(), v.end(),
                  [](const AnomalyRecordObject* a, const AnomalyRecordObject* b) { return a->sequence < b->sequence; });
    }

    std::mutex mu_;
    std::vector<Lane> lanes_;
    const std::size_t capacity_;
    std::uint64_t next_sequence_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace sdk_telemetry

// The full check of a guarded block pool: both lists walked from both ends, every sound pair
// moved into rebuilt lists, damaged pairs reported, and two repairs that patch one link where
// the walks stopped and keep the patch only when the rest then checks out.
#include "memory/markpool.h"

#include "log/faults.h"
#include "tarnkernl/log.h"

#include <cinttypes>

namespace tarn {
namespace {

bool PointsAtItself(const Mark* mark) { return mark->next == mark || mark->pred == mark; }

// A pair whose links point at themselves is cut loose from its neighbours before it moves, so
// that the move cannot make a loop.
void Isolate(Mark* up, Mark* down) {
    if (!PointsAtItself(up) && !PointsAtItself(down))
        return;
    for (Mark* mark : {up, down}) {
        if (mark->next && mark->next != mark)
            mark->next->pred = nullptr;
        if (mark->pred && mark->pred != mark)
            mark->pred->next = nullptr;
    }
    up->pred = up->next = down->pred = down->next = nullptr;
}

uint32_t Distance(const void* from, const void* to) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(to) -
                                 reinterpret_cast<uintptr_t>(from));
}

}  // namespace

// Moves an accepted pair into the pool's lists and steps to the marks it linked to by `step`
// (&Mark::next forward, &Mark::pred back).
void MarkPool::Take(Mark*& up, Mark*& down, Mark* Mark::*step) {
    Isolate(up, down);
    Mark* nextUp = up->*step;
    Mark* nextDown = down->*step;
    Unlink(up, down);
    Push(up, down);
    up = nextUp;
    down = nextDown;
}

bool MarkPool::AllMarkOk(MarkRange& range) {
    Mark* u0 = range.UpBeg;
    Mark* u1 = range.UpEnd;
    Mark* d0 = range.DwBeg;
    Mark* d1 = range.DwEnd;
    range = {};

    // Both walks stop at a pair that fails; only a pair failing on both marks is reported here.
    auto accepted = [](Mark* up, Mark* down) {
        if (valid(up))
            return valid(down);
        if (!valid(down))
            ReportBounds("corrupted block(ALL BOUNDARIES) found: ", DataOf(up), up, down);
        return false;
    };

    Mark* u = u0;
    Mark* d = d0;
    while (u != u1 && d != d1 && accepted(u, d))
        Take(u, d, &Mark::next);
    u0 = u;
    d0 = d;

    u = u1;
    d = d1;
    bool met = true;
    while (u != u0 && d != d0) {
        if (!accepted(u, d)) {
            met = false;
            break;
        }
        Take(u, d, &Mark::pred);
    }
    if (met) {
        if (!u && !d)
            return true;
        if (valid(u) && valid(d)) {
            Take(u, d, &Mark::pred);
            if (!u && !d)
                return true;
            int3call();
        }
    }

    MarkRange rest{u0, u, d0, d};
    return DownRepair(rest, u, d) || UpRepair(rest, u, d);
}

// Patches the down mark's link to the next block's down mark, or that mark's link back.
bool MarkPool::DownRepair(MarkRange& range, Mark* up, Mark* down) {
    ReportBounds("corrupted block(DOWN BOUNDARY) found: ", DataOf(up), up, down);
    return Contained(false, [&] {
        if (!Readable(down) || down->other != up || up->other != down || !valid(up->next))
            return false;
        Mark* nextDown = up->next->other;
        if (!Readable(nextDown))
            return false;
        if (nextDown->pred == down) {
            Mark saved = *down;
            down->next = nextDown;
            if (AllMarkOk(range)) {
                exceptout("mem REPAIR successfull [0x%" PRIXPTR ",0x%" PRIXPTR ")",
                          reinterpret_cast<uintptr_t>(DataOf(up)),
                          reinterpret_cast<uintptr_t>(down));
                return true;
            }
            *down = saved;
            return false;
        }
        if (down->next == nextDown) {
            Mark saved = *nextDown;
            nextDown->pred = down;
            if (AllMarkOk(range))
                return true;
            *nextDown = saved;
        }
        return false;
    });
}

// Patches the up mark's link to the next block's up mark and its size, or that mark's link back
// and its size; the sizes follow from where the down marks lie.
bool MarkPool::UpRepair(MarkRange& range, Mark* up, Mark* down) {
    ReportBounds("corrupted block(UP BOUNDARY) found: ", DataOf(up), up, down);
    return Contained(false, [&] {
        if (!Readable(up) || up->other != down || down->other != up || !valid(down->next))
            return false;
        Mark* nextUp = down->next->other;
        if (!Readable(nextUp))
            return false;
        if (nextUp->pred == up) {
            Mark saved = *up;
            up->next = nextUp;
            up->size = Distance(DataOf(up), down);
            if (AllMarkOk(range)) {
                exceptout("mem REPAIR successfull [0x%" PRIXPTR ",0x%" PRIXPTR ")",
                          reinterpret_cast<uintptr_t>(DataOf(up)),
                          reinterpret_cast<uintptr_t>(down));
                return true;
            }
            *up = saved;
            return false;
        }
        if (up->next == nextUp) {
            Mark saved = *nextUp;
            nextUp->pred = up;
            nextUp->size = Distance(DataOf(nextUp), down->next);
            if (AllMarkOk(range))
                return true;
            *nextUp = saved;
        }
        return false;
    });
}

}  // namespace tarn

// A program of the family that stresses the process's allocator: eight threads in a ring hand
// blocks of every size class of the low-fragmentation pool, and large ones of the guarded pool
// behind it, each to the next, which checks and releases them. Every block holds a pattern made
// from its address, written when it is allocated and checked when it is released. After the
// start-up phase the program keeps three blocks on purpose, which the memory report at its end
// must list, and nothing else.
//   memstress SECONDS
// prints "kept 0x<block> <size>" for the kept blocks, then its figures: one line
// "class C (E bytes): allocated A released R" per class, "large: allocated A released R",
// "handoffs H" and "damaged D" (blocks whose pattern was found changed).
#include "tarnkernl/tarnkernl.h"

#include "memory/lowfrag.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
// The classes, then the large blocks.
constexpr int kKinds = tarn::kClasses + 1;
constexpr size_t kLargest = tarn::kLargeRequest + 65536;

// The first class that serves a request of one byte (on 64-bit targets the overhead of an
// element leaves class 0 empty).
constexpr int kFirstKind = tarn::ClassOf(1);

size_t Smallest(int kind) { return kind == kFirstKind ? 1 : tarn::LargestRequest(kind - 1) + 1; }

size_t Largest(int kind) { return kind < tarn::kClasses ? tarn::LargestRequest(kind) : kLargest; }

uint64_t Mix(uint64_t x) {
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 32);
}

// The pattern's word at `index` of the block at `block`: no two blocks, and no two words of a
// block, are alike.
uint64_t PatternWord(const unsigned char* block, size_t index) {
    return Mix(reinterpret_cast<uintptr_t>(block) + index * 0x9E3779B97F4A7C15ull);
}

void Fill(unsigned char* block, size_t size) {
    for (size_t at = 0; at < size; at += 8) {
        const uint64_t word = PatternWord(block, at / 8);
        memcpy(block + at, &word, std::min<size_t>(8, size - at));
    }
}

bool Intact(const unsigned char* block, size_t size) {
    for (size_t at = 0; at < size; at += 8) {
        const uint64_t word = PatternWord(block, at / 8);
        if (memcmp(block + at, &word, std::min<size_t>(8, size - at)) != 0)
            return false;
    }
    return true;
}

// A block on its way: from malloc, or from new[] when `array`.
struct Block {
    unsigned char* data;
    size_t size;
    int kind;
    bool array;
};

// The blocks one thread hands to the next: one writer, one reader.
class Mailbox {
public:
    bool Full() {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_ == kCapacity;
    }
    void Put(const Block& block) {
        std::lock_guard<std::mutex> guard(mutex_);
        slots_[(head_ + count_++) % kCapacity] = block;
    }
    bool Take(Block& block) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (count_ == 0)
            return false;
        block = slots_[head_];
        head_ = (head_ + 1) % kCapacity;
        --count_;
        return true;
    }

private:
    static constexpr int kCapacity = 64;
    std::mutex mutex_;
    Block slots_[kCapacity];
    int head_ = 0, count_ = 0;
};

struct Figures {
    uint64_t allocated[kKinds] = {}, released[kKinds] = {};
    uint64_t damaged = 0;
};

class Worker {
public:
    Worker(int index, Mailbox& in, Mailbox& out) : random_(Mix(index + 1)), in_(in), out_(out) {}

    // Hands blocks on and releases those handed in until `stop`, then releases what is still
    // on its way in until no thread hands blocks any more (`producing` is 0).
    void Run(const std::atomic<bool>& go, const std::atomic<bool>& stop,
             std::atomic<int>& producing) {
        while (!go.load())
            std::this_thread::yield();
        while (!stop.load()) {
            for (int n = 0; n < 4 && !out_.Full(); ++n)
                out_.Put(Allocate());
            ReleaseHandedIn();
        }
        --producing;
        for (bool last = false; !last; std::this_thread::yield()) {
            last = producing.load() == 0;
            ReleaseHandedIn();
        }
    }

    Figures figures;

private:
    uint64_t Next() { return Mix(random_ += 0x9E3779B97F4A7C15ull); }

    Block Allocate() {
        Block block;
        block.kind = kFirstKind + int(Next() % (kKinds - kFirstKind));
        block.size =
            Smallest(block.kind) + Next() % (Largest(block.kind) - Smallest(block.kind) + 1);
        block.array = Next() & 1;
        block.data = block.array ? new unsigned char[block.size]
                                 : static_cast<unsigned char*>(malloc(block.size));
        if (!block.data)
            abort();
        Fill(block.data, block.size);
        ++figures.allocated[block.kind];
        return block;
    }

    void ReleaseHandedIn() {
        for (Block block; in_.Take(block);) {
            figures.damaged += !Intact(block.data, block.size);
            if (block.array)
                delete[] block.data;
            else
                free(block.data);
            ++figures.released[block.kind];
        }
    }

    uint64_t random_;
    Mailbox& in_;
    Mailbox& out_;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? atoi(argv[1]) : 1;
    // The output's buffer, the threads and their stacks are made in the start-up phase: the
    // report lists only the blocks kept below.
    printf("memstress %d s, %d threads\n", seconds, kThreads);
    std::vector<Mailbox> mailboxes(kThreads);
    std::vector<Worker> workers;
    for (int i = 0; i < kThreads; ++i)
        workers.emplace_back(i, mailboxes[i], mailboxes[(i + 1) % kThreads]);
    std::atomic<bool> go{false}, stop{false};
    std::atomic<int> producing{kThreads};
    std::vector<std::thread> threads;
    for (Worker& worker : workers)
        threads.emplace_back(&Worker::Run, &worker, std::cref(go), std::cref(stop),
                             std::ref(producing));
    EndStartup();

    const size_t keptSizes[] = {100, 5000, 40000};
    std::vector<unsigned char*> kept;
    for (size_t size : keptSizes) {
        kept.push_back(static_cast<unsigned char*>(malloc(size)));
        Fill(kept.back(), size);
        printf("kept 0x%08" PRIXPTR " %zu\n", reinterpret_cast<uintptr_t>(kept.back()), size);
    }
    go = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread& thread : threads)
        thread.join();

    Figures total;
    for (size_t i = 0; i < kept.size(); ++i)
        total.damaged += !Intact(kept[i], keptSizes[i]);
    for (const Worker& worker : workers) {
        total.damaged += worker.figures.damaged;
        for (int kind = 0; kind < kKinds; ++kind) {
            total.allocated[kind] += worker.figures.allocated[kind];
            total.released[kind] += worker.figures.released[kind];
        }
    }
    // Every block is released by the thread after the one that made it.
    uint64_t handoffs = 0;
    for (int kind = kFirstKind; kind < kKinds; ++kind) {
        if (kind < tarn::kClasses)
            printf("class %d (%zu bytes):", kind, tarn::ElementSize(kind));
        else
            printf("large:");
        printf(" allocated %" PRIu64 " released %" PRIu64 "\n", total.allocated[kind],
               total.released[kind]);
        handoffs += total.released[kind];
    }
    printf("handoffs %" PRIu64 "\ndamaged %" PRIu64 "\n", handoffs, total.damaged);
    return total.damaged == 0 ? 0 : 1;
}

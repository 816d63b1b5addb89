// Host kernel: pool memory with per-tag accounting and allocation-failure injection, and the Rtl routines.
#include "hostkernel/hostkernel.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

constexpr uint64_t BlockMagic = 0x6C6F6F506B74736FULL; // live block
constexpr uint64_t FreedMagic = 0x6565724664656572ULL; // freed block

// Precedes every block; keeps the caller's memory 16-byte aligned (malloc's alignment on the host).
struct alignas(16) BlockHeader {
    uint64_t magic;
    ULONG tag;
    POOL_TYPE type;
    size_t size;
};

struct PoolState {
    std::mutex lock;
    std::map<ULONG, hostk::PoolTagStats> tags;
    uint64_t attempts = 0;
    uint64_t failAt = 0; // attempt number that fails; 0: none
};

PoolState& pool() {
    static PoolState state;
    return state;
}

} // namespace

namespace hostk {

[[noreturn]] void bugCheck(const char* what) {
    std::fprintf(stderr, "host kernel: bug check: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

std::string tagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

uint64_t outstandingAllocations() {
    std::lock_guard<std::mutex> guard(pool().lock);
    uint64_t total = 0;
    for (const auto& [tag, stats] : pool().tags)
        total += stats.outstanding;
    return total;
}

uint64_t outstandingAllocations(ULONG tag) {
    std::lock_guard<std::mutex> guard(pool().lock);
    auto it = pool().tags.find(tag);
    return it == pool().tags.end() ? 0 : it->second.outstanding;
}

uint64_t totalAllocations() {
    std::lock_guard<std::mutex> guard(pool().lock);
    uint64_t total = 0;
    for (const auto& [tag, stats] : pool().tags)
        total += stats.allocations;
    return total;
}

uint64_t allocationAttempts() {
    std::lock_guard<std::mutex> guard(pool().lock);
    return pool().attempts;
}

std::vector<PoolTagStats> poolStats() {
    std::lock_guard<std::mutex> guard(pool().lock);
    std::vector<PoolTagStats> result;
    for (const auto& [tag, stats] : pool().tags)
        result.push_back(stats);
    return result;
}

std::string describeOutstanding() {
    std::string text;
    for (const auto& stats : poolStats()) {
        if (stats.outstanding == 0)
            continue;
        if (!text.empty())
            text += "; ";
        text += "tag '" + tagName(stats.tag) + "': " + std::to_string(stats.outstanding) + " blocks, " +
                std::to_string(stats.bytes) + " bytes";
    }
    return text.empty() ? "nothing" : text;
}

POOL_TYPE poolTypeOf(PVOID block) {
    auto* header = static_cast<BlockHeader*>(block) - 1;
    if (header->magic != BlockMagic)
        bugCheck("poolTypeOf: not a live pool block");
    return header->type;
}

void failAllocation(uint64_t n) {
    std::lock_guard<std::mutex> guard(pool().lock);
    pool().failAt = n == 0 ? 0 : pool().attempts + n;
}

void resetPoolCounters() {
    std::lock_guard<std::mutex> guard(pool().lock);
    pool().attempts = 0;
    pool().failAt = 0;
    for (auto& [tag, stats] : pool().tags) {
        stats.allocations = 0;
        stats.frees = 0;
    }
}

} // namespace hostk

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        hostk::bugCheck("ExAllocatePoolWithTag above DISPATCH_LEVEL");
    if (PoolType == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
        hostk::bugCheck("paged pool allocated at DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> guard(pool().lock);
        ++pool().attempts;
        if (pool().failAt != 0 && pool().attempts == pool().failAt) {
            pool().failAt = 0;
            return NULL;
        }
    }
    if (NumberOfBytes == 0)
        NumberOfBytes = 1; // the platform hands out a minimal block
    // Exactly the size asked for, so that AddressSanitizer sees any read past the end.
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + NumberOfBytes));
    if (header == nullptr)
        return NULL;
    header->magic = BlockMagic;
    header->tag = Tag;
    header->type = PoolType;
    header->size = NumberOfBytes;
    // Pool is not zeroed: fill it so that reads of memory the caller never wrote stand out.
    memset(header + 1, 0xA5, NumberOfBytes);
    std::lock_guard<std::mutex> guard(pool().lock);
    auto& stats = pool().tags[Tag];
    stats.tag = Tag;
    stats.outstanding += 1;
    stats.bytes += NumberOfBytes;
    stats.allocations += 1;
    return header + 1;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes,
                                 (ULONG)'N' | ((ULONG)'o' << 8) | ((ULONG)'n' << 16) | ((ULONG)'e' << 24));
}

static void FreeBlock(PVOID P, bool checkTag, ULONG Tag) {
    if (P == NULL)
        hostk::bugCheck("ExFreePool of NULL");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        hostk::bugCheck("ExFreePool above DISPATCH_LEVEL");
    auto* header = static_cast<BlockHeader*>(P) - 1;
    if (header->magic == FreedMagic)
        hostk::bugCheck("pool block freed twice");
    if (header->magic != BlockMagic)
        hostk::bugCheck("ExFreePool of memory that is not a pool block");
    if (checkTag && header->tag != Tag)
        hostk::bugCheck("ExFreePoolWithTag with a tag other than the allocation's");
    {
        std::lock_guard<std::mutex> guard(pool().lock);
        auto& stats = pool().tags[header->tag];
        stats.outstanding -= 1;
        stats.bytes -= header->size;
        stats.frees += 1;
    }
    header->magic = FreedMagic;
    memset(header + 1, 0xDD, header->size);
    std::free(header);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, true, Tag);
}

VOID ExFreePool(PVOID P) {
    FreeBlock(P, false, 0);
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T count = 0;
    while (SourceString[count] != UNICODE_NULL)
        ++count;
    DestinationString->Length = (USHORT)(count * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(DestinationString->Length + sizeof(WCHAR));
}

// Copies as much of the source as fits; adds a terminating zero character when there is room for it.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT length = SourceString->Length;
    if (length > DestinationString->MaximumLength)
        length = DestinationString->MaximumLength;
    length &= (USHORT)~1u;
    memmove(DestinationString->Buffer, SourceString->Buffer, length);
    DestinationString->Length = length;
    if ((ULONG)length + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
}

} // extern "C"

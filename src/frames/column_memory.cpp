#include "frames/column_memory.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace bitloom::frames {

namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void* allocate_column_bytes(std::size_t bytes) noexcept {
    if (bytes > SIZE_MAX - kHugePage) return nullptr;
    const bool huge = bytes >= 2 * kHugePage;
    const std::size_t alignment = huge ? kHugePage : kAlignment;
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    void* memory = nullptr;
    if (posix_memalign(&memory, alignment, rounded == 0 ? alignment : rounded) != 0) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: without it the block is plain pages.
    if (huge) (void)madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return memory;
}

void free_column_bytes(void* memory) noexcept { std::free(memory); }

ColumnMemory* ColumnMemory::create(ColumnType type, std::size_t length, bool large_offsets) noexcept {
    auto* column = new (std::nothrow) ColumnMemory();
    if (!column) return nullptr;
    column->type = type;
    column->large_offsets = large_offsets;
    column->length = length;
    const std::size_t size = column->item_size();
    const std::size_t count = has_offsets(type) ? length + 1 : length;
    if (count > SIZE_MAX / 8 / 2 || !(column->values = allocate_column_bytes(count * size))) {
        delete column;
        return nullptr;
    }
    if (has_offsets(type)) {
        // An empty data buffer is still a buffer: consumers may read its address.
        column->data = static_cast<std::uint8_t*>(allocate_column_bytes(0));
        if (!column->data) {
            delete column;
            return nullptr;
        }
    }
    return column;
}

bool ColumnMemory::create_many(std::span<const ColumnType> types, std::span<const bool> large,
                               std::size_t length, std::span<ColumnMemory*> out) noexcept {
    for (ColumnMemory*& column : out) column = nullptr;
    if (length > SIZE_MAX / 16 - 1) return false;
    std::size_t total = 0;
    std::vector<std::size_t> starts;
    try {
        starts.reserve(types.size());
    } catch (...) {
        return false;
    }
    for (std::size_t k = 0; k < types.size(); ++k) {
        const std::size_t size = has_offsets(types[k]) ? (large[k] ? 8 : 4) : column_type_row(types[k]).item_size;
        const std::size_t bytes = (has_offsets(types[k]) ? length + 1 : length) * size;
        starts.push_back(total);
        const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
        if (rounded > SIZE_MAX / 2 - total) return false;
        total += rounded;
    }
    auto* block = new (std::nothrow) SharedBlock();
    if (!block) return false;
    block->memory = allocate_column_bytes(total);
    if (!block->memory) {
        delete block;
        return false;
    }
    bool complete = true;
    for (std::size_t k = 0; k < types.size(); ++k) {
        auto* column = new (std::nothrow) ColumnMemory();
        if (column && has_offsets(types[k])) {
            column->data = static_cast<std::uint8_t*>(allocate_column_bytes(0));
            if (!column->data) {
                delete column;
                column = nullptr;
            }
        }
        if (!column) {
            complete = false;
            break;
        }
        column->type = types[k];
        column->large_offsets = has_offsets(types[k]) && large[k];
        column->length = length;
        column->values = static_cast<std::uint8_t*>(block->memory) + starts[k];
        column->block = block;
        block->users.fetch_add(1, std::memory_order_relaxed);
        out[k] = column;
    }
    if (block->users.load() == 0) {
        free_column_bytes(block->memory);
        delete block;
    }
    if (!complete) {
        for (ColumnMemory*& column : out) {
            if (column) column->release();
            column = nullptr;
        }
    }
    return complete;
}

ColumnMemory::~ColumnMemory() {
    if (!block) {
        free_column_bytes(values);
    } else if (block->users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        free_column_bytes(block->memory);
        delete block;
    }
    free_column_bytes(data);
    free_column_bytes(validity);
}

void ColumnMemory::release() noexcept {
    if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

bool ColumnMemory::set_null(std::size_t index) noexcept {
    if (!validity) {
        const std::size_t bytes = (length + 7) / 8;
        validity = static_cast<std::uint8_t*>(allocate_column_bytes(bytes));
        if (!validity) return false;
        std::memset(validity, 0xFF, bytes);
    }
    const auto bit = static_cast<std::uint8_t>(1u << (index % 8));
    if (validity[index / 8] & bit) {
        validity[index / 8] = static_cast<std::uint8_t>(validity[index / 8] & ~bit);
        ++null_count;
    }
    return true;
}

}  // namespace bitloom::frames

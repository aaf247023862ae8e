#include "frames/column_memory.hpp"

#include <climits>
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

ColumnMemory* ColumnMemory::create_fixed_list(ColumnType type, std::size_t length,
                                              std::uint32_t list_size) noexcept {
    if (has_offsets(type) || list_size == 0) return nullptr;
    if (length > SIZE_MAX / 16 / list_size) return nullptr;
    ColumnMemory* column = create(type, length * list_size);
    if (!column) return nullptr;
    column->length = length;
    column->list_size = list_size;
    return column;
}

ColumnMemory* ColumnMemory::create_list(ColumnType type, std::size_t length, std::size_t values) noexcept {
    if (has_offsets(type) || length > SIZE_MAX / 8 - 1) return nullptr;
    ColumnMemory* column = create(type, values);
    if (!column) return nullptr;
    column->length = length;
    column->list_offsets = static_cast<std::int32_t*>(allocate_column_bytes((length + 1) * sizeof(std::int32_t)));
    if (!column->list_offsets) {
        column->release();
        return nullptr;
    }
    return column;
}

bool ColumnMemory::create_many(std::span<const ColumnType> types, std::span<const bool> large,
                               std::size_t length, std::span<ColumnMemory*> out,
                               std::span<const std::uint32_t> list_sizes) noexcept {
    for (ColumnMemory*& column : out) column = nullptr;
    if (length > SIZE_MAX / 16 - 1) return false;
    auto rows_of = [&](std::size_t k) -> std::size_t {
        return k < list_sizes.size() && list_sizes[k] != 0 ? list_sizes[k] : 1;
    };
    std::size_t total = 0;
    std::vector<std::size_t> starts;
    try {
        starts.reserve(types.size());
    } catch (...) {
        return false;
    }
    for (std::size_t k = 0; k < types.size(); ++k) {
        const std::size_t size = has_offsets(types[k]) ? (large[k] ? 8 : 4) : column_type_row(types[k]).item_size;
        if (rows_of(k) > 1 && length > SIZE_MAX / 16 / rows_of(k)) return false;
        const std::size_t bytes = (has_offsets(types[k]) ? length + 1 : length * rows_of(k)) * size;
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
        column->list_size = k < list_sizes.size() ? list_sizes[k] : 0;
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

ColumnMemory* ColumnMemory::gather_rows(std::span<ColumnMemory* const> parts,
                                        std::span<const RowSource> rows) noexcept {
    if (parts.empty()) return nullptr;
    const ColumnMemory& first = *parts[0];
    const std::size_t length = rows.size();
    ColumnMemory* column = nullptr;
    if (!has_offsets(first.type)) {
        column = first.list_size != 0 ? create_fixed_list(first.type, length, first.list_size)
                                      : create(first.type, length);
        if (!column) return nullptr;
        const std::size_t row_bytes = first.item_size() * (first.list_size == 0 ? 1 : first.list_size);
        for (std::size_t i = 0; i < length; ++i) {
            const auto* from = static_cast<const std::uint8_t*>(parts[rows[i].part]->values);
            std::memcpy(static_cast<std::uint8_t*>(column->values) + i * row_bytes, from + rows[i].index * row_bytes,
                        row_bytes);
        }
    } else {
        std::size_t total = 0;
        for (const RowSource& row : rows) {
            const ColumnMemory& part = *parts[row.part];
            total += part.offset_at(row.index + 1) - part.offset_at(row.index);
        }
        const bool large = total > static_cast<std::size_t>(INT32_MAX);
        column = create(first.type, length, large);
        if (!column) return nullptr;
        free_column_bytes(column->data);
        column->data = static_cast<std::uint8_t*>(allocate_column_bytes(total));
        if (!column->data) {
            column->release();
            return nullptr;
        }
        column->data_bytes = total;
        std::size_t at = 0;
        for (std::size_t i = 0; i <= length; ++i) {
            if (large) static_cast<std::int64_t*>(column->values)[i] = static_cast<std::int64_t>(at);
            else static_cast<std::int32_t*>(column->values)[i] = static_cast<std::int32_t>(at);
            if (i == length) break;
            const ColumnMemory& part = *parts[rows[i].part];
            const std::size_t begin = part.offset_at(rows[i].index);
            const std::size_t size = part.offset_at(rows[i].index + 1) - begin;
            if (size != 0) std::memcpy(column->data + at, part.data + begin, size);
            at += size;
        }
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (!parts[rows[i].part]->is_valid(rows[i].index) && !column->set_null(i)) {
            column->release();
            return nullptr;
        }
    }
    return column;
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
    free_column_bytes(list_offsets);
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

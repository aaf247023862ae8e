// Grouping the scan's packets by key: see frames/packet_groups.hpp.
#include "frames/packet_groups.hpp"

#include <algorithm>
#include <cstring>

namespace bitloom::frames {

void PacketGroup::write_offsets(std::uint64_t* out) const noexcept {
    if (!contiguous) {
        std::memcpy(out, offsets.data(), count * 8);
        return;
    }
    std::uint64_t offset = first_offset;
    for (std::uint64_t k = 0; k < count; ++k) {
        out[k] = offset;
        offset += uniform_size != 0 ? uniform_size : sizes[k];
    }
}

void PacketGroup::write_sizes(std::uint64_t* out) const noexcept {
    if (uniform_size == 0) {
        std::memcpy(out, sizes.data(), count * 8);
        return;
    }
    std::fill(out, out + count, uniform_size);
}

void PacketGroup::gather(std::span<const std::uint8_t> data, std::uint8_t* out) const noexcept {
    if (contiguous) {
        std::memcpy(out, data.data() + first_offset, bytes);
        return;
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t size = uniform_size != 0 ? uniform_size : sizes[k];
        std::memcpy(out, data.data() + offsets[k], size);
        out += size;
    }
}

PacketGroups::PacketGroups(std::span<const std::uint64_t> kept_keys, unsigned key_bits,
                           std::span<const std::uint8_t> data, bool lists)
    : kept_keys_(kept_keys), data_(data), lists_(lists) {
    // 16 KB at most: a small call must not pay for a large table.
    if (key_bits <= 12) table_.assign(std::size_t{1} << key_bits, kUnseen);
}

std::uint64_t PacketGroups::expected_count(const PacketGroup& group, std::uint64_t offset) const noexcept {
    // As many again as the group had in the stream up to `offset`, in
    // proportion, and a little more: growing a list by copying costs more
    // than room never written (its pages are never touched).
    const double share = static_cast<double>(data_.size()) / static_cast<double>(std::max<std::uint64_t>(offset, 1));
    const double guess = static_cast<double>(group.count + 1) * share * 1.1 + 256;
    return static_cast<std::uint64_t>(std::min(guess, static_cast<double>(data_.size() / 8 + 256)));
}

std::uint32_t PacketGroups::first_seen(std::uint64_t key) {
    if (!kept_keys_.empty() && !std::binary_search(kept_keys_.begin(), kept_keys_.end(), key)) return kNotKept;
    groups.emplace_back();
    groups.back().key = key;
    return static_cast<std::uint32_t>(groups.size() - 1);
}

std::uint32_t PacketGroups::group_of(std::uint64_t key) {
    if (key < table_.size()) {
        std::uint32_t& at = table_[key];
        if (at == kUnseen) [[unlikely]] at = first_seen(key);
        return at;
    }
    // Wider keys: streams have few, often in runs.
    if (has_last_ && key == last_key_) return last_group_;
    auto where = wide_.find(key);
    if (where == wide_.end()) where = wide_.emplace(key, first_seen(key)).first;
    has_last_ = true;
    last_key_ = key;
    last_group_ = where->second;
    return last_group_;
}

void PacketGroups::add(const PacketSpan& run) {
    const std::uint32_t at = group_of(run.key);
    if (at == kNotKept) {
        unknown += run.count;
        return;
    }
    PacketGroup& group = groups[at];
    if (group.count == 0) {
        group.uniform_size = run.size;
        group.first_offset = run.offset;
        group.next_offset = run.offset;
    }
    if (!lists_) {
        if (run.size != group.uniform_size) group.uniform_size = 0;
        if (run.offset != group.next_offset) group.contiguous = false;
    } else {
        if (group.uniform_size != 0 && run.size != group.uniform_size) [[unlikely]] {
            // Sizes differ from here on: the packets before were all alike.
            group.sizes.reserve(expected_count(group, run.offset));
            group.sizes.assign(group.count, group.uniform_size);
            group.uniform_size = 0;
        }
        if (group.contiguous && run.offset != group.next_offset) [[unlikely]] {
            // A gap: the packets before lay one after the other from the first.
            group.offsets.reserve(expected_count(group, run.offset));
            group.offsets.resize(group.count);
            group.write_offsets(group.offsets.data());
            group.contiguous = false;
        }
        if (!group.contiguous) {
            for (std::uint64_t k = 0; k < run.count; ++k) group.offsets.push_back(run.offset + k * run.size);
        }
        if (group.uniform_size == 0) group.sizes.insert(group.sizes.end(), run.count, run.size);
    }
    // A run lies inside the data: none of these can overflow.
    group.next_offset = run.offset + run.count * run.size;
    group.bytes += run.count * run.size;
    group.count += run.count;
}

void PacketGroups::copy(const PacketSpan& run) {
    // Every key was met by the first pass: the lookup adds nothing.
    const std::uint32_t at = group_of(run.key);
    if (at >= copies_.size()) return;  // not kept
    GroupCopy& to = copies_[at];
    const std::uint64_t bytes = run.count * run.size;
    if (to.data) std::memcpy(to.data + to.filled_bytes, data_.data() + run.offset, bytes);
    for (std::uint64_t k = 0; k < run.count; ++k) {
        if (to.offsets) to.offsets[to.filled + k] = run.offset + k * run.size;
        if (to.sizes) to.sizes[to.filled + k] = run.size;
    }
    to.filled_bytes += bytes;
    to.filled += run.count;
}

void PacketGroups::packets(std::span<const PacketSpan> packets) {
    if (copies_.empty()) {
        for (const PacketSpan& run : packets) add(run);
    } else {
        for (const PacketSpan& run : packets) copy(run);
    }
}

}  // namespace bitloom::frames

// The packets of a stream grouped by key, as the scan frames them
// (frames/packet_scan.hpp), in one pass.
//
// A group keeps what its packets have in common while they have it: as long
// as each packet follows the one before, their offsets are the first offset
// and their sizes; as long as they are all as long, their sizes are one
// number.  Only when that stops holding does the group start a list of
// every packet's offset (or size), filled in for the packets before.  The
// usual file of one key, or a key's packets of one size, needs no list at
// all, and a run of packets from the scan is added in one step.
//
// Copying every key's packets together (a split) reads the stream in its
// order instead: a first pass counts without lists, and a second pass of
// the same scan copies each packet to where its group's copy is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "frames/packet_scan.hpp"

namespace bitloom::frames {

struct PacketGroup {
    std::uint64_t key = 0;
    std::uint64_t count = 0;         // packets
    std::uint64_t bytes = 0;         // their bytes together
    std::uint64_t first_offset = 0;
    std::uint64_t next_offset = 0;   // just after the last packet
    std::uint64_t uniform_size = 0;  // every packet's size; 0 once they differ (sizes holds them)
    bool contiguous = true;          // each packet follows the one before; false: offsets holds them
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> sizes;

    // Every packet's offset, size, and bytes one after the other, into
    // `out` (count values, count values, `bytes` bytes), from the lists
    // (not for groups counted without them).
    void write_offsets(std::uint64_t* out) const noexcept;
    void write_sizes(std::uint64_t* out) const noexcept;
    void gather(std::span<const std::uint8_t> data, std::uint8_t* out) const noexcept;
};

// Where the second pass writes a group's packets (each may be null).
struct GroupCopy {
    std::uint8_t* data = nullptr;
    std::uint64_t* offsets = nullptr;
    std::uint64_t* sizes = nullptr;
    std::uint64_t filled_bytes = 0;
    std::uint64_t filled = 0;
};

// The sink that groups the packets of `data`.  Keys not in `kept_keys`
// (sorted; empty: every key is kept) are only counted.  `key_bits` is the
// key field's width: keys of up to 12 bits (APIDs, CAN identifiers) are
// looked up in a table, wider ones in a hash map.  Adding may throw
// std::bad_alloc (the scan ends as out of memory).
class PacketGroups final : public PacketSink {
  public:
    // `lists`: whether groups keep the lists of offsets and sizes (false:
    // counting for a second pass).
    PacketGroups(std::span<const std::uint64_t> kept_keys, unsigned key_bits, std::span<const std::uint8_t> data,
                 bool lists = true);

    void packets(std::span<const PacketSpan> packets) override;

    // The second pass: the same scan again writes each group's packets to
    // copies[group] (as large as the first pass counted).
    void start_copying(std::span<GroupCopy> copies) noexcept { copies_ = copies; }

    std::vector<PacketGroup> groups;  // in the order their keys first appear
    std::uint64_t unknown = 0;        // packets of keys not kept

  private:
    static constexpr std::uint32_t kNotKept = UINT32_MAX;
    static constexpr std::uint32_t kUnseen = UINT32_MAX - 1;

    std::uint32_t group_of(std::uint64_t key);
    std::uint32_t first_seen(std::uint64_t key);
    void add(const PacketSpan& run);
    void copy(const PacketSpan& run);

    // Room for the rest of a group's packets, guessed from those so far.
    std::uint64_t expected_count(const PacketGroup& group, std::uint64_t offset) const noexcept;

    std::span<const std::uint64_t> kept_keys_;
    std::span<const std::uint8_t> data_;
    bool lists_;
    std::span<GroupCopy> copies_;
    std::vector<std::uint32_t> table_;  // key -> group, kNotKept, or kUnseen (keys of up to 12 bits)
    std::unordered_map<std::uint64_t, std::uint32_t> wide_;
    bool has_last_ = false;  // the last wide key looked up, and its group
    std::uint64_t last_key_ = 0;
    std::uint32_t last_group_ = kNotKept;
};

}  // namespace bitloom::frames

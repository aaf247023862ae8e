// Grouping the scan's packets by key, against the same grouping done packet
// by packet from the scan's plain list: every group's offsets, sizes and
// bytes, through the lists (one pass) and through the copying second pass,
// on streams whose keys come in runs, interleave, change size and leave
// gaps; keys that are not kept are counted; keys wider than the table.
#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "check.hpp"
#include "frames/packet_groups.hpp"
#include "frames/packet_scan.hpp"
#include "recipe/field_slots.hpp"

using namespace bitloom;
using namespace bitloom::frames;

namespace {

FrameField unsigned_field(std::uint64_t start, std::uint32_t bits) {
    FrameField field;
    field.start = start;
    field.bits = bits;
    field.codec = FieldCodec::unsigned_integer;
    field.kind = column_kind(field.codec);
    field.slot = field_slot(field.codec);
    return field;
}

// A key of `key_bits` bits at bit 0 (big-endian, padded to 32 bits), then a
// 16-bit length at bit 32: total = length + 6; header 6 bytes.
PacketRules rules_for(std::uint32_t key_bits) {
    PacketRules rules;
    rules.key = unsigned_field(32 - key_bits, key_bits);
    rules.length = unsigned_field(32, 16);
    rules.length_add = 6;
    rules.header_bytes = 6;
    prepare_rules(rules);
    return rules;
}

void append_packet(std::vector<std::uint8_t>& out, std::uint32_t key, std::size_t size) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(key >> shift));
    out.push_back(static_cast<std::uint8_t>((size - 6) >> 8));
    out.push_back(static_cast<std::uint8_t>(size - 6));
    for (std::size_t k = 6; k < size; ++k) out.push_back(static_cast<std::uint8_t>(out.size() * 13));
}

struct Expected {
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint64_t> sizes;
    std::vector<std::uint8_t> bytes;
};

std::uint64_t state = 0x9E3779B97F4A7C15ull;
std::uint64_t next_random(std::uint64_t below) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state % below;
}

void check_groups(std::uint32_t key_bits, const std::vector<std::uint64_t>& kept) {
    const PacketRules rules = rules_for(key_bits);
    const std::uint32_t keys[] = {3, 9, (key_bits >= 20 ? 0xABCDEu : 0x7FFu)};
    for (int round = 0; round < 150; ++round) {
        std::vector<std::uint8_t> data;
        const std::size_t runs = 1 + next_random(8);
        for (std::size_t r = 0; r < runs; ++r) {
            const std::uint32_t key = keys[next_random(round % 3 == 0 ? 1 : 3)];  // a third of streams: one key
            const std::size_t size = round % 5 == 0 ? 6 + next_random(30) : (key == 3 ? 11 : 20);
            const std::size_t count = 1 + next_random(round % 2 ? 3 : 50);
            for (std::size_t k = 0; k < count; ++k) append_packet(data, key, size);
        }
        // The packets one at a time, from the scan's plain list.
        ScanRequest plain_request;
        plain_request.data = data;
        ScanOutcome plain;
        CHECK(scan_packets(plain_request, rules, plain) && plain.problems.empty());
        std::map<std::uint64_t, Expected> expected;
        std::uint64_t unknown = 0;
        for (const PacketSpan& packet : plain.packets) {
            const bool is_kept = kept.empty() || std::find(kept.begin(), kept.end(), packet.key) != kept.end();
            if (!is_kept) {
                ++unknown;
                continue;
            }
            Expected& group = expected[packet.key];
            group.offsets.push_back(packet.offset);
            group.sizes.push_back(packet.size);
            group.bytes.insert(group.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(packet.offset),
                               data.begin() + static_cast<std::ptrdiff_t>(packet.offset + packet.size));
        }
        for (bool lists : {true, false}) {
            PacketGroups groups(kept, key_bits, data, lists);
            ScanRequest request;
            request.data = data;
            request.sink = &groups;
            ScanOutcome outcome;
            CHECK(scan_packets(request, rules, outcome));
            CHECK(groups.unknown == unknown && groups.groups.size() == expected.size());
            std::vector<std::vector<std::uint64_t>> offsets(groups.groups.size()), sizes(groups.groups.size());
            std::vector<std::vector<std::uint8_t>> bytes(groups.groups.size());
            std::vector<GroupCopy> copies(groups.groups.size());
            for (std::size_t g = 0; g < groups.groups.size(); ++g) {
                const PacketGroup& group = groups.groups[g];
                offsets[g].resize(group.count);
                sizes[g].resize(group.count);
                bytes[g].resize(group.bytes);
                if (lists) {
                    group.write_offsets(offsets[g].data());
                    group.write_sizes(sizes[g].data());
                    group.gather(data, bytes[g].data());
                } else {
                    copies[g] = {bytes[g].data(), offsets[g].data(), sizes[g].data()};
                }
            }
            if (!lists) {
                groups.start_copying(copies);
                ScanOutcome again;
                CHECK(scan_packets(request, rules, again));
            }
            for (std::size_t g = 0; g < groups.groups.size(); ++g) {
                const PacketGroup& group = groups.groups[g];
                const Expected& want = expected[group.key];
                CHECK(offsets[g] == want.offsets && sizes[g] == want.sizes && bytes[g] == want.bytes);
                bool alike = true;
                bool adjacent = true;
                for (std::size_t k = 1; k < want.sizes.size(); ++k) {
                    alike &= want.sizes[k] == want.sizes[0];
                    adjacent &= want.offsets[k] == want.offsets[k - 1] + want.sizes[k - 1];
                }
                CHECK(group.contiguous == adjacent && (group.uniform_size != 0) == alike);
                CHECK(group.first_offset == want.offsets[0] && group.count == want.offsets.size());
            }
        }
    }
}

}  // namespace

int main() {
    check_groups(11, {});
    check_groups(11, {3, 0x7FF});
    check_groups(24, {});  // keys looked up in the hash map
    check_groups(24, {9});
    return failures == 0 ? 0 : 1;
}

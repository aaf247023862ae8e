// The packet scan: one header read per packet, through the compiled fields'
// reader (any position, width and byte order), then a jump by its length.
#include "frames/packet_scan.hpp"

#include <algorithm>
#include <chrono>
#include <new>

namespace bitloom::frames {

namespace {

std::uint64_t header_value(std::span<const std::uint8_t> data, std::uint64_t offset,
                           const FrameField& field) noexcept {
    return pattern_of(field, read_placed(field, data, offset * 8));
}

// A header field within the first eight bytes, big-endian and unreversed,
// is two shifts of the header's first word.
bool in_first_word(const FrameField& field) noexcept {
    return field.bits != 0 && field.start + field.bits <= 64 && !field.reverse &&
           field.arrangement == Arrangement::by_order && (field.order == ByteOrder::big || field.bits <= 8);
}

inline std::uint64_t word_field(std::uint64_t word, const FrameField& field) noexcept {
    return (word << field.start) >> (64 - field.bits);
}

bool known(const PacketRules& rules, std::uint64_t key) noexcept {
    return rules.known_keys.empty() ||
           std::binary_search(rules.known_keys.begin(), rules.known_keys.end(), key);
}

// Whether a packet of a known key frames at `offset`, and the packet after it
// too (or the data ends with it).  `undecided` is set where the data ends
// before that can be told (a piece of a longer stream).
bool frames_here(std::span<const std::uint8_t> data, std::uint64_t offset, const PacketRules& rules,
                 bool at_end, bool& undecided) noexcept {
    PacketSpan packet;
    ScanProblem problem;
    undecided = false;
    PacketProblem found = read_packet_header(data, offset, rules, packet, problem);
    if (!at_end && (found == PacketProblem::partial_header || found == PacketProblem::past_end)) {
        undecided = true;
        return false;
    }
    if (found != PacketProblem::none || !known(rules, packet.key)) return false;
    const std::uint64_t next = offset + packet.size;
    if (next == data.size()) return true;
    PacketSpan following;
    found = read_packet_header(data, next, rules, following, problem);
    if (!at_end && (found == PacketProblem::partial_header || found == PacketProblem::past_end)) {
        return known(rules, packet.key);
    }
    return found == PacketProblem::none && known(rules, following.key);
}

}  // namespace

namespace {

// The header reader, in line in the scan's loop.
[[gnu::always_inline]] inline PacketProblem read_header(std::span<const std::uint8_t> data, std::uint64_t offset,
                                                        const PacketRules& rules, PacketSpan& out,
                                                        ScanProblem& problem) noexcept {
    problem.offset = offset;
    const std::uint64_t left = data.size() - offset;
    if (left < rules.header_bytes) return problem.problem = PacketProblem::partial_header;
    // Most headers: every field in the first word, loaded once.
    const bool by_word = rules.fast_fields && left >= 8;
    const std::uint64_t word = by_word ? load_big_endian(data.data() + offset) : 0;
    const bool as_expected = by_word && (word & rules.expected_mask) == rules.expected_bits;
    for (std::size_t k = 0; !as_expected && k < rules.expected.size(); ++k) {
        const std::uint64_t value = header_value(data, offset, rules.expected[k].field);
        if (value != rules.expected[k].value) {
            problem.expected_index = k;
            problem.found = value;
            return problem.problem = PacketProblem::unexpected_value;
        }
    }
    const std::uint64_t length = by_word ? word_field(word, rules.length) : header_value(data, offset, rules.length);
    // length + length_add, where either may be negative or past 2**64.
    const bool negative_add = rules.length_add < 0;
    const std::uint64_t magnitude = negative_add ? 0 - static_cast<std::uint64_t>(rules.length_add)
                                                 : static_cast<std::uint64_t>(rules.length_add);
    std::uint64_t size = 0;
    bool possible = true;
    if (negative_add) {
        possible = length >= magnitude;
        size = possible ? length - magnitude : 0;
    } else {
        possible = length <= UINT64_MAX - magnitude;
        size = possible ? length + magnitude : UINT64_MAX;
    }
    problem.size = size;
    if (!possible || size < rules.header_bytes || size == 0) {
        return problem.problem = PacketProblem::impossible_length;
    }
    if (size > left) return problem.problem = PacketProblem::past_end;
    out.offset = offset;
    out.size = size;
    out.key = by_word ? word_field(word, rules.key) : header_value(data, offset, rules.key);
    return PacketProblem::none;
}

}  // namespace

PacketProblem read_packet_header(std::span<const std::uint8_t> data, std::uint64_t offset,
                                 const PacketRules& rules, PacketSpan& out, ScanProblem& problem) noexcept {
    return read_header(data, offset, rules, out, problem);
}

void prepare_rules(PacketRules& rules) noexcept {
    rules.fast_fields = in_first_word(rules.length) && in_first_word(rules.key);
    for (const ExpectedValue& expected : rules.expected) rules.fast_fields &= in_first_word(expected.field);
    rules.expected_mask = 0;
    rules.expected_bits = 0;
    if (!rules.fast_fields) return;
    for (const ExpectedValue& expected : rules.expected) {
        const auto shift = static_cast<unsigned>(64 - expected.field.start - expected.field.bits);
        const std::uint64_t mask = low_mask(expected.field.bits) << shift;
        // A value too wide for its field, or two expectations on the same
        // bits: checked field by field instead.
        if ((rules.expected_mask & mask) != 0 || expected.value > low_mask(expected.field.bits)) {
            rules.expected_mask = 0;
            rules.expected_bits = 0;
            rules.fast_fields = false;
            return;
        }
        rules.expected_mask |= mask;
        rules.expected_bits |= (expected.value << shift) & mask;
    }
}

bool scan_packets(const ScanRequest& request, const PacketRules& rules, ScanOutcome& outcome) noexcept {
    const std::span<const std::uint8_t> data = request.data;
    std::uint64_t offset = 0;
    auto last_poll = std::chrono::steady_clock::now();
    std::size_t since_poll = 0;
    // Packets go to the sink a few hundred at a time.
    constexpr std::size_t kPending = 256;
    PacketSpan pending[kPending];
    std::size_t pending_count = 0;
    try {
        // Room for as many packets as there can be; pages never written are
        // never touched, and no packet is copied as the list grows.
        if (!request.sink) outcome.packets.reserve(data.size() / std::max<std::size_t>(rules.header_bytes, 1) + 1);
        while (offset < data.size()) {
            if (request.poll && ++since_poll >= 4096) {
                since_poll = 0;
                const auto now = std::chrono::steady_clock::now();
                if (now - last_poll >= std::chrono::milliseconds(2)) {
                    last_poll = now;
                    if (!request.poll(request.poll_context)) {
                        outcome.stopped = true;
                        outcome.consumed = offset;
                        return false;
                    }
                }
            }
            PacketSpan packet;
            ScanProblem problem;
            const PacketProblem found = read_header(data, offset, rules, packet, problem);
            if (found == PacketProblem::none) [[likely]] {
                if (request.sink) {
                    pending[pending_count++] = packet;
                    if (pending_count == kPending) {
                        request.sink->packets({pending, pending_count});
                        pending_count = 0;
                    }
                } else {
                    outcome.packets.push_back(packet);
                }
                offset += packet.size;
                continue;
            }
            if (!request.at_end && (found == PacketProblem::partial_header || found == PacketProblem::past_end)) {
                break;  // the rest of the packet is in the next piece
            }
            if (!request.skip_problems) {
                if (pending_count != 0) request.sink->packets({pending, pending_count});
                problem.resumed_at = data.size();
                outcome.problems.push_back(problem);
                outcome.consumed = offset;
                return true;
            }
            // Resume at the next offset where packets frame again.
            std::uint64_t next = offset + 1;
            bool undecided = false;
            while (next < data.size() && !frames_here(data, next, rules, request.at_end, undecided) &&
                   !undecided) {
                ++next;
            }
            problem.resumed_at = next;
            outcome.problems.push_back(problem);
            offset = next;
            if (undecided) break;
        }
        if (pending_count != 0) request.sink->packets({pending, pending_count});
    } catch (const std::bad_alloc&) {
        outcome.out_of_memory = true;
        return false;
    }
    outcome.consumed = std::min<std::uint64_t>(offset, data.size());
    return true;
}

}  // namespace bitloom::frames

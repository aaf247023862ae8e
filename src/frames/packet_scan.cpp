// The packet scan: one header read per packet, through the compiled fields'
// reader (any position, width and byte order), then a jump by its length;
// where every field lies in the header's first word, a run of packets like
// the one just read is found by comparing words.
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

// The header reader, in line in the scan's loop.  `by_word` tells whether
// the fields were read from `word`, the header's first eight bytes.
[[gnu::always_inline]] inline PacketProblem read_header(std::span<const std::uint8_t> data, std::uint64_t offset,
                                                        const PacketRules& rules, PacketSpan& out,
                                                        ScanProblem& problem, bool& by_word,
                                                        std::uint64_t& word) noexcept {
    problem.offset = offset;
    const std::uint64_t left = data.size() - offset;
    by_word = false;
    if (left < rules.header_bytes) return problem.problem = PacketProblem::partial_header;
    // Most headers: every field in the first word, loaded once.
    by_word = rules.fast_fields && left >= 8;
    word = by_word ? load_big_endian(data.data() + offset) : 0;
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
    out.count = 1;
    return PacketProblem::none;
}

// The longest run of packets after `packet`'s first (at most `most` of them)
// whose first words hold the bits `pattern` under the rules' run mask: the
// same expected values, length and key, so the same size and key.  Each
// must fit the data, and so must its first word.  The words do not depend
// on each other, so four are loaded and compared at once.
[[gnu::always_inline]] inline std::uint64_t run_after(std::span<const std::uint8_t> data, const PacketSpan& packet,
                                                      std::uint64_t pattern, const PacketRules& rules,
                                                      std::uint64_t most) noexcept {
    const std::uint64_t size = packet.size;
    const std::uint64_t room = std::max<std::uint64_t>(size, 8);
    if (data.size() < room) return 0;
    const std::uint64_t last = data.size() - room;  // the last offset a packet and a word fit at
    const std::uint8_t* bytes = data.data();
    const std::uint64_t mask = rules.run_mask;
    std::uint64_t next = packet.offset + size;
    std::uint64_t count = 0;
    // In a stream of many keys the next packet is seldom alike: one word
    // tells, before four are loaded.
    if (next > last || (load_big_endian(bytes + next) & mask) != pattern) return 0;
    // Four at a time while four fit (3 * size cannot overflow: size <= last / 3).
    if (size <= last / 3) {
        const std::uint64_t last_four = last - 3 * size;
        while (next <= last_four && count + 4 <= most) {
            const std::uint64_t differ = ((load_big_endian(bytes + next) & mask) ^ pattern) |
                                         ((load_big_endian(bytes + next + size) & mask) ^ pattern) |
                                         ((load_big_endian(bytes + next + 2 * size) & mask) ^ pattern) |
                                         ((load_big_endian(bytes + next + 3 * size) & mask) ^ pattern);
            if (differ != 0) break;
            next += 4 * size;
            count += 4;
        }
    }
    while (next <= last && count < most && (load_big_endian(bytes + next) & mask) == pattern) {
        next += size;
        ++count;
    }
    return count;
}

}  // namespace

PacketProblem read_packet_header(std::span<const std::uint8_t> data, std::uint64_t offset,
                                 const PacketRules& rules, PacketSpan& out, ScanProblem& problem) noexcept {
    bool by_word = false;
    std::uint64_t word = 0;
    return read_header(data, offset, rules, out, problem, by_word, word);
}

void prepare_rules(PacketRules& rules) noexcept {
    rules.fast_fields = in_first_word(rules.length) && in_first_word(rules.key);
    for (const ExpectedValue& expected : rules.expected) rules.fast_fields &= in_first_word(expected.field);
    rules.expected_mask = 0;
    rules.expected_bits = 0;
    rules.run_mask = 0;
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
    const auto field_mask = [](const FrameField& field) {
        return low_mask(field.bits) << static_cast<unsigned>(64 - field.start - field.bits);
    };
    rules.run_mask = rules.expected_mask | field_mask(rules.length) | field_mask(rules.key);
}

bool scan_packets(const ScanRequest& request, const PacketRules& rules, ScanOutcome& outcome) noexcept {
    const std::span<const std::uint8_t> data = request.data;
    std::uint64_t offset = 0;
    auto last_poll = std::chrono::steady_clock::now();
    std::size_t since_poll = 0;
    // Packets go to the sink a few hundred spans at a time.
    constexpr std::size_t kPending = 256;
    // A run ends after this many packets, so that polling stays frequent.
    constexpr std::uint64_t kLongestRun = 1 << 16;
    PacketSpan pending[kPending];
    std::size_t pending_count = 0;
    // Every few thousand packets (or bytes searched after a problem), and
    // at most every 2 ms: whether to go on.
    const auto keep_going = [&]() {
        if (!request.poll || since_poll < 4096) return true;
        since_poll = 0;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll < std::chrono::milliseconds(2)) return true;
        last_poll = now;
        return request.poll(request.poll_context);
    };
    try {
        // Room for as many packets as there can be; pages never written are
        // never touched, and no packet is copied as the list grows.
        if (!request.sink) outcome.packets.reserve(data.size() / std::max<std::size_t>(rules.header_bytes, 1) + 1);
        while (offset < data.size()) {
            if (!keep_going()) {
                outcome.stopped = true;
                outcome.consumed = offset;
                return false;
            }
            PacketSpan packet;
            ScanProblem problem;
            bool by_word = false;
            std::uint64_t word = 0;
            const PacketProblem found = read_header(data, offset, rules, packet, problem, by_word, word);
            if (found == PacketProblem::none) [[likely]] {
                if (by_word) packet.count += run_after(data, packet, word & rules.run_mask, rules, kLongestRun);
                since_poll += packet.count;
                if (request.sink) {
                    pending[pending_count++] = packet;
                    if (pending_count == kPending) {
                        request.sink->packets({pending, pending_count});
                        pending_count = 0;
                    }
                } else {
                    for (std::uint64_t k = 0; k < packet.count; ++k) {
                        outcome.packets.push_back({packet.offset + k * packet.size, packet.size, packet.key, 1});
                    }
                }
                offset += packet.count * packet.size;
                continue;
            }
            ++since_poll;
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
                // A long stretch of bytes that are not packets is searched
                // byte by byte: Ctrl-C must still be heard.
                ++since_poll;
                if (!keep_going()) {
                    outcome.stopped = true;
                    outcome.consumed = offset;
                    return false;
                }
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

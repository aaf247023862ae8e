// Finding the packets of a stream, with no interpreter in sight.
//
// A stream is packets one after the other.  Each starts with a header that
// holds a length field (the packet's total bytes are its value plus a
// constant: CCSDS packets are their data length field + 7) and a key field
// (the APID) that says which codec reads the packet.  The scan reads only
// headers, and hands the packets it frames to a sink (frames/packet_groups
// groups them by key); each key's codec then decodes its packets with its
// block decoder, where they lie in the stream.
//
// Packets of one key and one size often come back to back (a file of one
// APID): once a header is read, the scan compares the next headers' bits of
// those fields with it, a word at a time, and hands the whole run on as one
// span.
//
// A packet that cannot be framed (its header passes the end of the data,
// its length is less than its header or passes the end of the data, or its
// header does not hold a value it must) is a problem at its byte offset.
// Where problems are skipped, the scan looks for the next offset that frames
// a packet of a known key that is followed by another such packet (or ends
// exactly at the end of the data), and resumes there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "frames/frame_field.hpp"

namespace bitloom::frames {

struct ExpectedValue {
    FrameField field;
    std::uint64_t value = 0;
};

struct PacketRules {
    FrameField length;            // unsigned, counted from the packet's bit 0
    FrameField key;               // unsigned, counted from the packet's bit 0
    std::int64_t length_add = 0;  // total bytes = length value + length_add
    std::size_t header_bytes = 0; // the header: the smallest packet there is
    std::vector<ExpectedValue> expected;
    // Keys with a codec, sorted; packets of other keys frame as well, but
    // only known keys can end a search after a problem.  Empty: any key.
    std::vector<std::uint64_t> known_keys;
    bool fast_fields = false;  // set by prepare_rules: every field in the first word
    std::uint64_t expected_mask = 0;  // fast_fields: the expected values' bits of the first word
    std::uint64_t expected_bits = 0;
    std::uint64_t run_mask = 0;  // fast_fields: the bits of the first word that every field holds
};

// Picks the header reader for the fields: call once the rules are set.
void prepare_rules(PacketRules& rules) noexcept;

enum class PacketProblem : std::uint8_t {
    none,
    partial_header,    // fewer bytes than a header left
    past_end,          // the packet's length passes the end of the data
    impossible_length, // shorter than its header, or larger than memory
    unexpected_value,  // a header field without the value it must hold
};

// `count` packets of `size` bytes each, one after the other from `offset`,
// all of `key`.
struct PacketSpan {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t key = 0;
    std::uint64_t count = 1;
};

struct ScanProblem {
    std::uint64_t offset = 0;
    PacketProblem problem = PacketProblem::none;
    std::uint64_t size = 0;        // the size the header gave (past_end, impossible_length)
    std::size_t expected_index = 0; // unexpected_value: which expected field
    std::uint64_t found = 0;        // unexpected_value: what it held
    std::uint64_t resumed_at = 0;   // where framing resumed (the end: nowhere)
};

struct ScanOutcome {
    std::vector<PacketSpan> packets;  // one a packet (count 1)
    std::vector<ScanProblem> problems;
    std::uint64_t consumed = 0;  // bytes framed, skipped or reported
    bool stopped = false;        // poll returned false
    bool out_of_memory = false;
};

// Takes each packet as the scan frames it, instead of the outcome's list;
// may throw std::bad_alloc, which ends the scan as out of memory.
class PacketSink {
  public:
    virtual ~PacketSink() = default;
    // The packets in stream order, a few hundred spans at a time; a span
    // may hold a run of many.
    virtual void packets(std::span<const PacketSpan> packets) = 0;
};

struct ScanRequest {
    std::span<const std::uint8_t> data;
    bool skip_problems = false;  // false: stop at the first problem
    // false: the data is a piece of a longer stream, and a packet cut by its
    // end is left (not consumed) for the next piece.
    bool at_end = true;
    PacketSink* sink = nullptr;  // null: the packets go to outcome.packets
    bool (*poll)(void* context) = nullptr;
    void* poll_context = nullptr;
};

// Reads the header at `offset`: the packet's span, or the problem.
PacketProblem read_packet_header(std::span<const std::uint8_t> data, std::uint64_t offset,
                                 const PacketRules& rules, PacketSpan& out, ScanProblem& problem) noexcept;

// Frames the packets of `request.data`.  False when the scan did not finish
// (out of memory, stopped); a problem without skip_problems ends it normally.
bool scan_packets(const ScanRequest& request, const PacketRules& rules, ScanOutcome& outcome) noexcept;

}  // namespace bitloom::frames

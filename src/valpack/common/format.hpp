#pragma once

// Constants of the byte format that the encoder and both decoders share.
namespace zeb2 {

constexpr unsigned char PROTOCOL_2 = 0xFD;
constexpr unsigned char PROTOCOL_1 = 0xFE;
// The datachar of "no value" (a NULL given to the encoder).
constexpr unsigned char NO_VALUE = 0x67;

// At most this many containers may be open at once; the next one fails.
constexpr int MAX_NESTS = 100;
// Namedtuples do not count as containers, but a chain of them still recurses.
constexpr int MAX_NAMEDTUPLE_DEPTH = 800;
// Every nested value counts one level. The encoder never writes more than
// MAX_NESTS containers plus MAX_NAMEDTUPLE_DEPTH namedtuples inside each other, so this
// bound decodes everything it writes while keeping damaged input off the end of the stack.
constexpr int MAX_DECODE_DEPTH = 1000;
static_assert(MAX_NESTS + MAX_NAMEDTUPLE_DEPTH + 1 <= MAX_DECODE_DEPTH);

} // namespace zeb2

// The byte scan of a chat-completion body: strict JSON, and where its model,
// its messages and their roles are. Pure C++ on a byte range, no Python, so
// the caller can run it with the GIL released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bodyscan {

// Offsets into the body; a body this long is never scanned (kMaxBody).
using Offset = std::uint32_t;
// A role offset that is no offset: the message has no role, or is no object.
inline constexpr Offset kNoRole = 0xFFFFFFFFu;
inline constexpr Offset kNotObject = 0xFFFFFFFEu;
inline constexpr std::size_t kMaxBody = kNotObject;

// One element of the messages array and its top-level role value, as
// [start, end) byte spans; the layout Python reads (four native uint32).
struct Message {
    Offset start, end, role_start, role_end;
};
static_assert(sizeof(Message) == 4 * sizeof(Offset));

enum class Outcome {
    kFound,     // strict JSON, a top-level object whose every messages value is an array
    kRefused,   // not strict JSON, or not of that shape
    kTooDeep,   // more nested containers than the limit
};

struct Found {
    bool has_model = false;
    Offset model_start = 0, model_end = 0;
    bool has_messages = false;
    std::vector<Message> messages;
};

// Scans body[0, size) (a leading UTF-8 BOM skipped), allowing at most
// `depth_limit` containers open at once. Fills `out` when kFound.
Outcome scan(const unsigned char* body, std::size_t size, std::size_t depth_limit, Found& out);

}  // namespace bodyscan

// Interpreter exit. At exit the hook stops every worker from taking another
// message and waits, with a time limit, until none is inside one: the
// interpreter ends daemon threads where they next take the GIL, and ending
// one inside a model's native frames aborts the process.
#pragma once

namespace interceptor {

// Registers the exit hook (module execution).
void register_exit_hook();

// The worker's side: a worker holds one of these for each message it works
// on. Not held (false) once exit has begun: the worker then ends.
class MessageInHand {
public:
    MessageInHand() noexcept;
    ~MessageInHand();
    MessageInHand(const MessageInHand&) = delete;
    MessageInHand& operator=(const MessageInHand&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    bool held_ = false;
};
bool exit_begun() noexcept;

}  // namespace interceptor

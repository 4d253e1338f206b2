// The end of an operation that finishes later than the call that started it: a reply owed to
// a client, a button's action, a start waiting for its pipelines. Copies share one end: the
// first call delivers the result and later calls do nothing; when the last copy goes without
// a call, the operation ends as failed, so every started operation ends exactly once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

class Completion {
public:
    // Result 0 is success; the text, when given, is the reply's text.
    using Handler = std::function<void(int result, const std::optional<std::string> &text)>;

    // Nobody waits for the result.
    Completion() = default;
    explicit Completion(Handler handler) : state_(std::make_shared<State>(std::move(handler))) {}

    void operator()(int result, const std::optional<std::string> &text = std::nullopt) const {
        if (state_) {
            state_->finish(result, text);
        }
    }
    bool pending() const { return state_ && state_->handler; }

private:
    struct State {
        explicit State(Handler on_end) : handler(std::move(on_end)) {}
        ~State() { finish(1, std::nullopt); }
        void finish(int result, const std::optional<std::string> &text) {
            if (Handler end = std::exchange(handler, nullptr)) {
                end(result, text);
            }
        }
        Handler handler;
    };
    std::shared_ptr<State> state_;
};

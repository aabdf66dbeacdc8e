// A value or a message. Core code reports failure this way and never throws across a layer; the
// binding turns the message into ValueError.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vesquor {

struct Error {
    std::string message;
};

template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<T>(state_); }
    const T& value() const& { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    const std::string& error() const { return std::get<Error>(state_).message; }

private:
    std::variant<T, Error> state_;
};

}  // namespace vesquor

#pragma once
// Errors are values: an operation returns success or one line of error text, composed where the
// failure happened and reported once at the boundary.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace zelto {

// Success (empty) or the error text.
using ErrorText = std::optional<std::string>;

// A value, or the error text that says why there is none.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value)
        : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose

    static Result failure(std::string error) {
        return Result(std::in_place_index<1>, std::move(error));
    }

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const std::string& error() const { return std::get<1>(state_); }

  private:
    template <std::size_t I>
    Result(std::in_place_index_t<I> tag, std::string error) : state_(tag, std::move(error)) {}

    std::variant<T, std::string> state_;
};

}  // namespace zelto

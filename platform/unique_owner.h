// The owning wrapper behind UniqueHandle, UniqueRegKey and UniqueModule: one template, one
// alias per kind of handle, so each kind has exactly one owner type.
#pragma once

#include <utility>

namespace platform {

/// Owns one value of Traits::Value and gives it to Traits::Close on destruction or Reset.
/// Traits::IsValid says which values are "none" (never closed). Move-only. Not thread-safe:
/// one owner belongs to one thread at a time, like the value it holds.
template <typename Traits>
class UniqueOwner {
  public:
    using Value = typename Traits::Value;

    UniqueOwner() = default;
    explicit UniqueOwner(Value value) noexcept : m_value(value) {}
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    UniqueOwner(UniqueOwner&& other) noexcept : m_value(other.Release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~UniqueOwner() { Reset(); }

    [[nodiscard]] Value Get() const noexcept { return m_value; }
    [[nodiscard]] bool Valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return Valid(); }
    /// Gives up ownership without closing.
    Value Release() noexcept { return std::exchange(m_value, Value{}); }
    /// Closes what it holds (if valid) and takes value.
    void Reset(Value value = Value{}) noexcept {
        if (Valid()) {
            Traits::Close(m_value);
        }
        m_value = value;
    }
    /// Closes what it holds and returns where a creation call may store the new value, for
    /// calls with an out parameter: RegOpenKeyEx(root, path, 0, access, key.Receive()).
    [[nodiscard]] Value* Receive() noexcept {
        Reset();
        return &m_value;
    }

  private:
    Value m_value{};
};

/// Traits for the kinds whose "none" is null and which close is given back to (its result
/// ignored: an owner letting go has no one to report a failed close to).
template <typename T, auto close>
struct NullMeansNone {
    using Value = T;
    static bool IsValid(T value) noexcept { return value != nullptr; }
    static void Close(T value) noexcept { (void)close(value); }
};

}  // namespace platform

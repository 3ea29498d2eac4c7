#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace kestavo {

// Numeric failure codes. The window shows them to the user beside the text,
// so they must stay stable once released.
enum class FailureCode : int {
    Overflow = 6,
    SubscriptOutOfRange = 9,
    InvalidPortNumber = 100,
    PortNotMapped = 101,
    PortAlreadyOpen = 102,
    DeviceNotFound = 103,
    PermissionDenied = 104,
    DeviceBusy = 105,
    NotASerialDevice = 106,
    DeviceGone = 107,
    PortNotOpen = 108,
    ModemLinesUnsupported = 109,
    CharacterNotEncodable = 110,
    TransmitQueueFull = 111,
    OpenFailed = 112,
    WriteFailed = 113,
    CloseFailed = 114,
    ModemLineFailed = 115,
};

struct Failure {
    int code = 0;
    QString text;

    static Failure make(FailureCode c, QString t) { return {static_cast<int>(c), std::move(t)}; }
    bool is(FailureCode c) const { return code == static_cast<int>(c); }
    friend bool operator==(const Failure &, const Failure &) = default;
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : m_failure(std::move(failure)) {}

    bool ok() const { return !m_failure.has_value(); }
    const Failure &failure() const { return *m_failure; }

private:
    std::optional<Failure> m_failure;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_value(std::move(failure)) {}

    bool ok() const { return std::holds_alternative<T>(m_value); }
    const T &value() const { return std::get<T>(m_value); }
    const Failure &failure() const { return std::get<Failure>(m_value); }
    Status status() const { return ok() ? Status() : Status(failure()); }

private:
    std::variant<T, Failure> m_value;
};

} // namespace kestavo

#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace kestavo::drills {

// What the line must carry for a text, worked out with the C library's
// converter rather than with the code under test. nullopt: some character
// has no byte, so nothing may be sent at all.
std::optional<QByteArray> windows1252Oracle(const QString &text);

} // namespace kestavo::drills

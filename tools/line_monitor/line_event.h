#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestavo::line_monitor {

// One event of the line emulation (line_emulation_protocol.h).
struct LineEvent {
    std::int64_t monotonicNs = 0;
    std::string kind;
    int before = 0;
    int after = 0;
    std::uint64_t count = 0;
    std::string path;
};

std::optional<LineEvent> parseLineEvent(std::string_view text);

// The German line the monitor shows after the port name, for example
// "geöffnet: DTR ↑ RTS ↑" or "DTR ↓".
std::string describeLineEvent(const LineEvent &event);

} // namespace kestavo::line_monitor

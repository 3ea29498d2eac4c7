#include "line_event.h"

#include "line_emulation_protocol.h"

#include <sstream>

namespace kestavo::line_monitor {
namespace {

// Only what changed, so that a request that moves one line names one line.
std::string changes(int before, int after)
{
    std::string out;
    for (const auto &[bit, name] : {std::pair {KESTAVO_LINE_DTR, "DTR"}, std::pair {KESTAVO_LINE_RTS, "RTS"}}) {
        if ((before & bit) == (after & bit))
            continue;
        if (!out.empty())
            out += ' ';
        out += std::string(name) + ((after & bit) ? " ↑" : " ↓");
    }
    return out;
}

std::string withChanges(const std::string &what, int before, int after)
{
    const std::string changed = changes(before, after);
    return changed.empty() ? what : what + ": " + changed;
}

} // namespace

std::optional<LineEvent> parseLineEvent(std::string_view text)
{
    std::istringstream in {std::string(text)};
    LineEvent event;
    if (!(in >> event.monotonicNs >> event.kind >> event.before >> event.after >> event.count >> event.path))
        return std::nullopt;
    return event;
}

std::string describeLineEvent(const LineEvent &event)
{
    if (event.kind == "open")
        return withChanges("geöffnet", event.before, event.after);
    if (event.kind == "close")
        return withChanges("geschlossen", event.before, event.after);
    if (event.kind == "exit")
        return withChanges("geschlossen, weil das Programm endete", event.before, event.after);
    if (event.kind == "b0")
        return withChanges("Geschwindigkeit B0", event.before, event.after);
    if (event.kind == "unb0")
        return withChanges("Geschwindigkeit nicht mehr B0", event.before, event.after);
    if (event.kind == "flush")
        return std::to_string(event.count) + (event.count == 1 ? " Byte" : " Bytes") + " verworfen, nicht gesendet";
    return changes(event.before, event.after);
}

} // namespace kestavo::line_monitor

#include "protocol/state_json.h"

#include <cstdio>

namespace statejson {

namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string stringList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ", ";
        out += jsonString(items[i]);
    }
    out += "]";
    return out;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += "\"";
    return out;
}

std::string stateLine(const DialogState& state) {
    std::string out = "{\"status\": " + jsonString(state.status);
    out += ", \"devices\": " + stringList(state.devices);
    out += ", \"selected\": " + std::to_string(state.selected);
    out += ", \"enabled\": {\"uninstall\": ";
    out += boolText(state.uninstallEnabled);
    out += ", \"close\": ";
    out += boolText(state.closeEnabled);
    out += ", \"detect\": ";
    out += boolText(state.detectEnabled);
    out += ", \"restart\": ";
    out += boolText(state.restartEnabled);
    out += "}, \"restartRequested\": ";
    out += boolText(state.restartRequested);
    out += "}";
    return out;
}

std::string aboutLine(const AboutState& about) {
    return "{\"caption\": " + jsonString(about.caption) +
           ", \"texts\": " + stringList(about.texts) + "}";
}

}  // namespace statejson

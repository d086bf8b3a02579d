#pragma once
// The positions of one request text: fields 1 to 8 of its first section and sections 2 to 4.
// The views point into the request text, which must outlive the Request.

#include <array>
#include <string_view>

#include "wire/Fields.h"

namespace vserver::wire {

struct Request {
    std::string_view text;
    std::array<std::string_view, 9> fields{};     // [1] .. [8]; [0] unused
    std::array<std::string_view, 5> sections{};   // [2] .. [4]; [0], [1] unused
    int id = 0;
    int type = 0;

    std::string_view label() const { return fields[5]; }
    std::string_view account() const { return fields[6]; }
    std::string_view argument1() const { return fields[7]; }
    std::string_view argument2() const { return fields[8]; }
    int clientKind() const { return ReadNumber(sections[2]); }
    std::string_view clientVersion() const { return sections[3]; }
    std::string_view sessionDetail() const { return sections[4]; }
};

Request ParseRequest(std::string_view text);

// Types whose completion carries the request type and a result text.
bool IsLongForm(int type);

} // namespace vserver::wire

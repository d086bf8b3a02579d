#include "wire/Request.h"

namespace vserver::wire {

namespace {

// Fills slots [first, last] with the fields of text cut at separator; the rest stay empty.
template <std::size_t N>
void Cut(std::string_view text, char separator, std::array<std::string_view, N>& slots, std::size_t first,
         std::size_t last) {
    std::size_t start = 0;
    for (std::size_t slot = first; slot <= last; ++slot) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            slots[slot] = text.substr(start);
            return;
        }
        slots[slot] = text.substr(start, at - start);
        start = at + 1;
    }
}

} // namespace

Request ParseRequest(std::string_view text) {
    Request request;
    request.text = text;
    std::array<std::string_view, 5> sections{};
    Cut(text, kSectionSeparator, sections, 1, 4);
    request.sections = sections;
    Cut(sections[1], kFieldSeparator, request.fields, 1, 8);
    request.id = ReadNumber(request.fields[1]);
    request.type = ReadNumber(request.fields[4]);
    return request;
}

bool IsLongForm(int type) {
    switch (type) {
    case RequestType::ListAccounts:
    case RequestType::CreateOwnAccount:
    case RequestType::ChangeUser:
    case RequestType::ReadOption:
    case RequestType::ServerVersion:
    case RequestType::CollectUserMessages:
    case RequestType::CollectToolbarSets:
        return true;
    default:
        // Every console type, known or not.
        return type >= RequestType::SetLogonLock;
    }
}

} // namespace vserver::wire

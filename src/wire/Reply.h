#pragma once
// The messages the server sends, put together in one place so that no handler writes a
// reserved byte itself. A Reply holds the text of one message without the end byte and line
// feed, which the connection adds when it sends it; it keeps its storage from one message to
// the next, so a reply kept by its sender costs no allocation per message. A ListWriter puts
// the entries of a list result into a text the caller owns.

#include <string>
#include <string_view>

#include "wire/Protocol.h"

namespace vserver::wire {

class Reply {
public:
    // Starts a new message with its code, dropping whatever the reply held.
    Reply& Begin(MessageCode code);
    // Appends one field: a field separator, then the text or the number in decimal.
    Reply& Field(std::string_view text);
    Reply& Number(long long value);
    // Appends a section separator and text inside the current field.
    Reply& Section(std::string_view text);

    // "1", "0" and an empty field: what every accepted connection receives first.
    Reply& Greeting();
    // The common completion: "1", request id; for the long-form types also the request type
    // and the result.
    Reply& Completion(int requestId, int requestType, std::string_view result);
    // "1", request id, request type, result, whatever the type (the toolbar set answers).
    Reply& Answer(int requestId, int requestType, std::string_view result);
    // A refused logon or change of user: "1", request id, request type, code.
    Reply& Refusal(int requestId, int requestType, RefusalCode code);
    // A logon refused for its client version also tells the client the server's version, in a
    // second section of one more field.
    Reply& VersionRefusal(int requestId, std::string_view serverVersion);
    // A message a session gets unasked: its code and one text (an account, a message, a set).
    Reply& Notice(MessageCode code, std::string_view text);
    // The answer to a preference read: "202", request id, the values.
    Reply& PreferenceValues(int requestId, std::string_view values);

    std::string_view text() const { return text_; }

private:
    std::string text_;
};

// Writes the entries of a list result after whatever out already holds: entries are separated
// by 0xA6, the parts of one entry by the part separator (0xA7 in the session list, 0xB0 between
// a preference's key and value). Like the lists clients have always read, an entry that is
// empty at the start of the list gets no separator after it.
class ListWriter {
public:
    explicit ListWriter(std::string& out, char partSeparator = kFieldSeparator)
        : out_(out), start_(out.size()), partSeparator_(partSeparator) {}

    ListWriter& Entry(std::string_view first);
    ListWriter& Part(std::string_view text);
    // A part written as a decimal number.
    ListWriter& Number(long long value);

private:
    std::string& out_;
    std::size_t start_;
    char partSeparator_;
};

// The result of the session list request: an item separator, then the list.
void StartSessionListResult(std::string& result);

} // namespace vserver::wire

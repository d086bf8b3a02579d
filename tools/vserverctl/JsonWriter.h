#pragma once
// Builds one JSON document as text. It owns the text and which containers are open; commas
// and quoting are its business, the shape of the document is the caller's. Protocol texts are
// 8-bit: valid UTF-8 passes through, any other byte is read as Latin-1.

#include <string>
#include <string_view>
#include <vector>

namespace vserver::ctl {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // Names the next value inside an object.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Bool(bool value);
    JsonWriter& Number(long long value);
    JsonWriter& Null();

    const std::string& text() const { return text_; }

private:
    void BeforeValue();

    std::string text_;
    std::vector<bool> hasMember_;   // per open container: something was written in it
    bool afterKey_ = false;
};

// text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);

} // namespace vserver::ctl

#include "wire/Reply.h"

#include "wire/Fields.h"
#include "wire/Request.h"

namespace vserver::wire {

Reply& Reply::Begin(MessageCode code) {
    text_.clear();
    AppendNumber(text_, code);
    return *this;
}

Reply& Reply::Field(std::string_view text) {
    text_ += kFieldSeparator;
    text_ += text;
    return *this;
}

Reply& Reply::Number(long long value) {
    text_ += kFieldSeparator;
    AppendNumber(text_, value);
    return *this;
}

Reply& Reply::Section(std::string_view text) {
    text_ += kSectionSeparator;
    text_ += text;
    return *this;
}

Reply& Reply::Greeting() { return Begin(MessageCode::Reply).Number(0).Field({}); }

Reply& Reply::Completion(int requestId, int requestType, std::string_view result) {
    if (!IsLongForm(requestType)) return Begin(MessageCode::Reply).Number(requestId);
    return Answer(requestId, requestType, result);
}

Reply& Reply::Answer(int requestId, int requestType, std::string_view result) {
    return Begin(MessageCode::Reply).Number(requestId).Number(requestType).Field(result);
}

Reply& Reply::Refusal(int requestId, int requestType, RefusalCode code) {
    return Begin(MessageCode::Reply).Number(requestId).Number(requestType).Number(code);
}

Reply& Reply::VersionRefusal(int requestId, std::string_view serverVersion) {
    return Refusal(requestId, RequestType::Logon, RefusalCode::VersionDiffers).Field({}).Section(serverVersion);
}

Reply& Reply::Notice(MessageCode code, std::string_view text) { return Begin(code).Field(text); }

Reply& Reply::PreferenceValues(int requestId, std::string_view values) {
    return Begin(MessageCode::PreferenceValues).Number(requestId).Field(values);
}

ListWriter& ListWriter::Entry(std::string_view first) {
    if (out_.size() > start_) out_ += kSectionSeparator;
    out_ += first;
    return *this;
}

ListWriter& ListWriter::Part(std::string_view text) {
    out_ += partSeparator_;
    out_ += text;
    return *this;
}

ListWriter& ListWriter::Number(long long value) {
    out_ += partSeparator_;
    AppendNumber(out_, value);
    return *this;
}

void StartSessionListResult(std::string& result) { result.assign(1, kItemSeparator); }

} // namespace vserver::wire

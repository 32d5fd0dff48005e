#include "sio/json.h"

#include <cmath>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace sio {

namespace {

// Nesting depth of the JSON text, counted before parsing so that a hostile payload of a million "[" is
// refused without building it.
bool NestingWithin(const std::string& json, unsigned maxDepth) {
    unsigned depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        char c = json[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool IsPlaceholder(const rapidjson::Value& v) {
    auto flag = v.FindMember("_placeholder");
    return flag != v.MemberEnd() && flag->value.IsBool() && flag->value.GetBool();
}

bool Convert(const rapidjson::Value& v, const std::vector<buffer>* attachments, message::ptr& out) {
    switch (v.GetType()) {
    case rapidjson::kNullType:
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
        out = nullptr;
        return true;
    case rapidjson::kNumberType:
        if (v.IsInt64()) out = int_message::create(v.GetInt64());
        else out = double_message::create(v.GetDouble());
        return true;
    case rapidjson::kStringType:
        out = string_message::create(std::string(v.GetString(), v.GetStringLength()));
        return true;
    case rapidjson::kArrayType: {
        message::list items;
        items.reserve(v.Size());
        for (const auto& item : v.GetArray()) {
            message::ptr m;
            if (!Convert(item, attachments, m)) return false;
            items.push_back(std::move(m));
        }
        out = array_message::create(std::move(items));
        return true;
    }
    case rapidjson::kObjectType: {
        if (attachments && IsPlaceholder(v)) {
            auto num = v.FindMember("num");
            if (num == v.MemberEnd() || !num->value.IsUint64() || num->value.GetUint64() >= attachments->size())
                return false;
            out = binary_message::create((*attachments)[static_cast<std::size_t>(num->value.GetUint64())]);
            return true;
        }
        auto obj = object_message::create();
        auto& members = obj->get_map();
        for (const auto& member : v.GetObject()) {
            message::ptr m;
            if (!Convert(member.value, attachments, m)) return false;
            members[std::string(member.name.GetString(), member.name.GetStringLength())] = std::move(m);
        }
        out = std::move(obj);
        return true;
    }
    }
    return false;
}

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void Write(const message::ptr& value, JsonWriter& w, std::vector<buffer>& binaries) {
    if (!value) {
        w.Null();
        return;
    }
    const message& m = *value;
    switch (m.get_flag()) {
    case message::flag::integer:
        w.Int64(m.get_int());
        break;
    case message::flag::real:
        if (std::isfinite(m.get_double())) w.Double(m.get_double());
        else w.Null();
        break;
    case message::flag::text:
        w.String(m.get_string().data(), static_cast<rapidjson::SizeType>(m.get_string().size()), true);
        break;
    case message::flag::binary:
        w.StartObject();
        w.Key("_placeholder");
        w.Bool(true);
        w.Key("num");
        w.Uint64(binaries.size());
        w.EndObject();
        binaries.push_back(m.get_binary());
        break;
    case message::flag::array:
        w.StartArray();
        for (const auto& item : m.get_vector()) Write(item, w, binaries);
        w.EndArray();
        break;
    case message::flag::object:
        w.StartObject();
        for (const auto& member : m.get_map()) {
            w.Key(member.first.data(), static_cast<rapidjson::SizeType>(member.first.size()), true);
            Write(member.second, w, binaries);
        }
        w.EndObject();
        break;
    }
}

}  // namespace

bool JsonToMessage(const std::string& json, const std::vector<buffer>* attachments, unsigned maxDepth,
                   message::ptr& out) {
    out = nullptr;
    if (!NestingWithin(json, maxDepth)) return false;
    // Most payloads fit in this stack buffer, which spares the parser its first 64 KB heap chunk.
    char valueBuffer[4096];
    rapidjson::MemoryPoolAllocator<> valueAllocator(valueBuffer, sizeof valueBuffer);
    rapidjson::Document doc(&valueAllocator);
    doc.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
    if (doc.HasParseError()) return false;
    return Convert(doc, attachments, out);
}

void MessageToJson(const message::ptr& value, std::string& out, std::vector<buffer>& binaries) {
    rapidjson::StringBuffer sb;
    JsonWriter w(sb);
    Write(value, w, binaries);
    out.append(sb.GetString(), sb.GetSize());
}

}  // namespace sio

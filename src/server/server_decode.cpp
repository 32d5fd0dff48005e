#include <json/json.h>

#include <cstdio>
#include <exception>

#include "server/server_answers.h"
#include "system/text.h"

namespace {

enum class Read { Absent, Present, Wrong };

// Parses with the reader's default features. A document nested deeper than the reader allows makes it
// throw; that is a failed parse like any other.
bool ParseAnswer(const std::string& answer, Json::Value& root) {
    try {
        Json::Reader reader;
        return reader.parse(answer, root);
    } catch (const std::exception&) {
        return false;
    }
}

// The envelope must be an object (null reads as an empty one): member access on anything else throws.
bool IsEnvelope(const Json::Value& value) { return value.isObject() || value.isNull(); }

const Json::Value& Member(const Json::Value& object, const char* key) {
    static const Json::Value none;
    return object.isObject() && object.isMember(key) ? object[key] : none;
}

// Each reader checks convertibility first, so JsonCpp's own conversion never gets a value it would throw on.
Read ReadInteger(const Json::Value& value, int& out) {
    if (!value.isConvertibleTo(Json::intValue)) return Read::Wrong;
    out = value.asInt();
    return value.isNull() ? Read::Absent : Read::Present;
}

Read ReadBoolean(const Json::Value& value, bool& out) {
    if (!value.isConvertibleTo(Json::booleanValue)) return Read::Wrong;
    out = value.asBool();
    return value.isNull() ? Read::Absent : Read::Present;
}

// Texts arrive in UTF-8 and are handed on in the ANSI code page.
Read ReadText(const Json::Value& value, std::string& out) {
    if (!value.isConvertibleTo(Json::stringValue)) return Read::Wrong;
    out = Utf8ToAnsi(value.asString());
    return value.isNull() ? Read::Absent : Read::Present;
}

// Parses and reads "code"; on success root holds the envelope.
AnswerStatus OpenEnvelope(const std::string& answer, Json::Value& root) {
    AnswerStatus status;
    if (!ParseAnswer(answer, root)) return status;
    status.error = AnswerError::WrongType;
    if (!IsEnvelope(root)) return status;
    if (ReadInteger(Member(root, "code"), status.code) == Read::Wrong) return status;
    status.error = AnswerError::None;
    return status;
}

AnswerStatus Wrong(AnswerStatus status) {
    status.error = AnswerError::WrongType;
    return status;
}

}  // namespace

AnswerStatus DecodeTextData(const std::string& answer, std::string& data) {
    Json::Value root;
    AnswerStatus status = OpenEnvelope(answer, root);
    if (!status.Parsed()) return status;
    std::string text;
    if (ReadText(Member(root, "data"), text) == Read::Wrong) return Wrong(status);
    data = text;
    return status;
}

AnswerStatus DecodeIntegerData(const std::string& answer, std::string& dataAsText) {
    Json::Value root;
    AnswerStatus status = OpenEnvelope(answer, root);
    if (!status.Parsed()) return status;
    int number = 0;
    if (ReadInteger(Member(root, "data"), number) == Read::Wrong) return Wrong(status);
    dataAsText = IntToText(number);
    return status;
}

AnswerStatus DecodeStartupInfo(const std::string& answer, ServiceStartupInfo& info) {
    Json::Value root;
    AnswerStatus status = OpenEnvelope(answer, root);
    if (!status.Parsed()) return status;
    if (status.code == kCodeUnknownMachine) {
        info.ecpId = "-1";
        return status;
    }
    const Json::Value& data = Member(root, "data");
    if (!IsEnvelope(data)) return Wrong(status);

    // Filled into a copy and taken over whole: a member of the wrong type leaves the caller's values as they
    // were rather than half of a new assignment.
    ServiceStartupInfo next = info;
    int ecpId = 0;
    Read id = ReadInteger(Member(data, "ecpId"), ecpId);
    bool startup = false;
    std::string tavrelType, examineeId, ecpPixel;
    Read reads[] = {
        id,
        ReadInteger(Member(data, "phase"), next.phase),
        ReadText(Member(data, "ecpRoomCode"), next.ecpRoomCode),
        ReadBoolean(Member(data, "isStartup"), startup),
        ReadText(Member(data, "isSuperLock"), next.isSuperLock),
        ReadText(Member(data, "tavrelType"), tavrelType),
        ReadText(Member(data, "examineeId"), examineeId),
    };
    Read pixel = ReadText(Member(data, "ecpPixel"), ecpPixel);
    for (Read read : reads)
        if (read == Read::Wrong) return Wrong(status);
    if (pixel == Read::Wrong) return Wrong(status);

    next.ecpId = id == Read::Present ? IntToText(ecpId) : std::string();
    next.isStartup = startup ? 1 : 0;
    if (!tavrelType.empty()) next.tavrelType = AnsiToWide(tavrelType);
    if (!examineeId.empty()) next.examineeId = examineeId;
    if (pixel == Read::Present) next.ecpPixel = ecpPixel;
    info = next;
    return status;
}

AnswerStatus DecodeModifyAnswer(const std::string& answer, std::string& message) {
    Json::Value root;
    AnswerStatus status = OpenEnvelope(answer, root);
    if (!status.Parsed()) return status;
    const char* key = status.code == kCodeSuccess ? "data" : "message";
    std::string text;
    if (ReadText(Member(root, key), text) == Read::Wrong) return Wrong(status);
    message = text;
    return status;
}

std::string StyledBody(const std::map<std::string, BodyValue>& members) {
    Json::Value body(Json::objectValue);
    for (const auto& [key, value] : members) {
        if (value.isInteger)
            body[key] = value.integer;
        else
            body[key] = value.text;
    }
    // The styled writer's layout, but with texts left byte for byte: the plain StyledWriter would turn every
    // byte above 0x7F into a \u escape read as UTF-8, mangling the GBK texts of a Windows agent.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "   ";
    builder["emitUTF8"] = true;
    builder["commentStyle"] = "None";
    return Json::writeString(builder, body) + "\n";
}

std::string LogUploadName(int year, int month, int day, int hour, int minute, int second) {
    char name[64];
    std::snprintf(name, sizeof name, "Tavrel.%04d%02d%02d%02d%02d%02d.log", year, month, day, hour, minute, second);
    return name;
}

#pragma once
// Pure readers of the exam server's answers and writers of its request bodies: text in, values out, no
// network and no log. The calls in server_calls.cpp log and decide on top of them.
//
// An answer is one JSON object {"code":..,"data":..,"message":..} sent in UTF-8. It is parsed as UTF-8 and
// each text taken from it is then turned into the ANSI code page: converting the whole answer first would
// let a GBK trail byte of 0x5C ("\") act as an escape inside a JSON text.
#include <map>
#include <string>

enum class AnswerError {
    None,
    NotJson,    // not parseable
    WrongType,  // a member the call reads holds a JSON type that cannot be read as the type asked for
};

struct AnswerStatus {
    AnswerError error = AnswerError::NotJson;
    int code = 0;  // "code"; 0 when missing
    bool Parsed() const { return error == AnswerError::None; }
};

// The server answers 9000 for a machine it does not know, 1000 for success.
constexpr int kCodeSuccess = 1000;
constexpr int kCodeUnknownMachine = 9000;

// Only when the answer parses with every member readable is any output written.
AnswerStatus DecodeTextData(const std::string& answer, std::string& data);          // version, module digest
AnswerStatus DecodeIntegerData(const std::string& answer, std::string& dataAsText); // registration's ecpId

// The start-up information of one pass, as the service workflow resets it before each GetStartupInfoAgent:
// tavrelType, examineeId and ecpPixel keep these values when the server leaves them out.
struct ServiceStartupInfo {
    std::string ecpId;  // "-1": the server does not know this machine
    int phase = 0;
    std::string ecpRoomCode;
    int isStartup = 0;  // 0 or 1
    std::string isSuperLock = "0";
    std::wstring tavrelType = L"Tavrel.exe";
    std::string examineeId;
    std::string ecpPixel;
};
// Code 9000: ecpId becomes "-1" and nothing else changes. Any other code fills the outputs from "data".
AnswerStatus DecodeStartupInfo(const std::string& answer, ServiceStartupInfo& info);

// Code 1000: message = "data"; otherwise message = "message".
AnswerStatus DecodeModifyAnswer(const std::string& answer, std::string& message);

// JsonCpp's styled layout: members in ascending key order, three blanks, " : ", a closing newline. Texts are
// written byte for byte (only quote, backslash and control characters escaped); values are given as they
// are to be sent.
struct BodyValue {
    bool isInteger = false;
    std::string text;
    int integer = 0;
};
std::string StyledBody(const std::map<std::string, BodyValue>& members);
inline BodyValue BodyText(std::string text) { return BodyValue{false, std::move(text), 0}; }
inline BodyValue BodyInteger(int value) { return BodyValue{true, std::string(), value}; }

// "Tavrel.YYYYMMDDhhmmss.log" for the given local time.
std::string LogUploadName(int year, int month, int day, int hour, int minute, int second);

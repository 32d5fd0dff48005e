// Arbitrary bytes as the exam server's answer, through every reader of the server calls: none may crash,
// throw or read out of bounds, and whatever they accept must leave well-formed outputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/server_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string answer(reinterpret_cast<const char*>(data), size);

    std::string text = "kept";
    AnswerStatus status = DecodeTextData(answer, text);
    if (!status.Parsed() && text != "kept") std::abort();

    std::string number = "kept";
    status = DecodeIntegerData(answer, number);
    if (!status.Parsed() && number != "kept") std::abort();
    if (status.Parsed() && (number.empty() || number.size() > 11)) std::abort();

    ServiceStartupInfo info;
    info.ecpId = "7";
    info.examineeId = "E1";
    info.tavrelType = L"Tavrel.exe";
    status = DecodeStartupInfo(answer, info);
    if (!status.Parsed() && (info.ecpId != "7" || info.examineeId != "E1")) std::abort();
    if (status.Parsed() && (info.examineeId.empty() || info.tavrelType.empty())) std::abort();
    if (info.isStartup != 0 && info.isStartup != 1) std::abort();

    std::string message = "kept";
    DecodeModifyAnswer(answer, message);
    return 0;
}

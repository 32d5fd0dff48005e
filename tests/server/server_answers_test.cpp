// The answer readers and body writers on their own, without a network: every row is an answer text as the
// server could send it and the values the agent must take from it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "server/server_answers.h"
#include "server/server_fixture.h"
#include "system/text.h"

namespace {

struct TextRow {
    const char* name;
    std::string answer;
    AnswerError error;
    int code;
    std::string data;  // expected output; "kept" when the reader must not touch it
};

TEST(ServerAnswers, TextDataTable) {
    const std::vector<TextRow> rows = {
        {"success", R"({"code":1000,"data":"1.0.0.2","message":""})", AnswerError::None, 1000, "1.0.0.2"},
        {"failure code still gives data", R"({"code":1001,"data":"x"})", AnswerError::None, 1001, "x"},
        {"missing code reads 0", R"({"data":"x"})", AnswerError::None, 0, "x"},
        {"null data reads empty", R"({"code":1000,"data":null})", AnswerError::None, 1000, ""},
        {"missing data reads empty", R"({"code":1000})", AnswerError::None, 1000, ""},
        {"number data reads as its text", R"({"code":1000,"data":12})", AnswerError::None, 1000, "12"},
        {"boolean data reads as its text", R"({"code":1000,"data":true})", AnswerError::None, 1000, "true"},
        {"real code is truncated", R"({"code":1000.0,"data":"v"})", AnswerError::None, 1000, "v"},
        {"null document is an empty envelope", "null", AnswerError::None, 0, ""},
        {"object data", R"({"code":1000,"data":{"v":"1"}})", AnswerError::WrongType, 1000, "kept"},
        {"array data", R"({"code":1000,"data":["1"]})", AnswerError::WrongType, 1000, "kept"},
        {"text code", R"({"code":"1000","data":"v"})", AnswerError::WrongType, 0, "kept"},
        {"object code", R"({"code":{},"data":"v"})", AnswerError::WrongType, 0, "kept"},
        {"code beyond 32 bits", R"({"code":4294967296,"data":"v"})", AnswerError::WrongType, 0, "kept"},
        {"array document", R"([{"code":1000}])", AnswerError::WrongType, 0, "kept"},
        {"number document", "5", AnswerError::WrongType, 0, "kept"},
        {"html", "<html><body>502</body></html>", AnswerError::NotJson, 0, "kept"},
        {"empty", "", AnswerError::NotJson, 0, "kept"},
        {"cut in the middle", R"({"code":1000,"da)", AnswerError::NotJson, 0, "kept"},
        {"nested past the reader's limit", std::string(5000, '[') + std::string(5000, ']'), AnswerError::NotJson, 0,
         "kept"},
    };
    for (const TextRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string data = "kept";
        AnswerStatus status = DecodeTextData(row.answer, data);
        EXPECT_EQ(status.error, row.error);
        if (row.error == AnswerError::None) {
            EXPECT_EQ(status.code, row.code);
        }
        EXPECT_EQ(data, row.data);
    }
}

TEST(ServerAnswers, IntegerDataTable) {
    const std::vector<TextRow> rows = {
        {"number", R"({"code":1000,"data":12})", AnswerError::None, 1000, "12"},
        {"negative", R"({"code":1000,"data":-1})", AnswerError::None, 1000, "-1"},
        {"null reads 0", R"({"code":1000,"data":null})", AnswerError::None, 1000, "0"},
        {"missing reads 0", R"({"code":1000})", AnswerError::None, 1000, "0"},
        {"real is truncated", R"({"code":1000,"data":12.9})", AnswerError::None, 1000, "12"},
        {"boolean", R"({"code":1000,"data":true})", AnswerError::None, 1000, "1"},
        {"text", R"({"code":1000,"data":"twelve"})", AnswerError::WrongType, 1000, "kept"},
        {"digits as text", R"({"code":1000,"data":"12"})", AnswerError::WrongType, 1000, "kept"},
        {"beyond 32 bits", R"({"code":1000,"data":3000000000})", AnswerError::WrongType, 1000, "kept"},
        {"object", R"({"code":1000,"data":{}})", AnswerError::WrongType, 1000, "kept"},
        {"not json", "ok", AnswerError::NotJson, 0, "kept"},
    };
    for (const TextRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string data = "kept";
        AnswerStatus status = DecodeIntegerData(row.answer, data);
        EXPECT_EQ(status.error, row.error);
        if (row.error == AnswerError::None) {
            EXPECT_EQ(status.code, row.code);
        }
        EXPECT_EQ(data, row.data);
    }
}

TEST(ServerAnswers, ModifyMessageTable) {
    const std::vector<TextRow> rows = {
        {"success takes data", R"({"code":1000,"data":"ok","message":"no"})", AnswerError::None, 1000, "ok"},
        {"failure takes message", R"({"code":1003,"data":"ok","message":"taken"})", AnswerError::None, 1003, "taken"},
        {"failure without message", R"({"code":1003})", AnswerError::None, 1003, ""},
        {"object message", R"({"code":1003,"message":{"t":"x"}})", AnswerError::WrongType, 1003, "kept"},
        {"object data on success", R"({"code":1000,"data":{"t":"x"}})", AnswerError::WrongType, 1000, "kept"},
        {"object data on failure is not read", R"({"code":1003,"data":{},"message":"m"})", AnswerError::None, 1003,
         "m"},
    };
    for (const TextRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string message = "kept";
        AnswerStatus status = DecodeModifyAnswer(row.answer, message);
        EXPECT_EQ(status.error, row.error);
        if (row.error == AnswerError::None) {
            EXPECT_EQ(status.code, row.code);
        }
        EXPECT_EQ(message, row.data);
    }
}

TEST(ServerAnswers, TextsComeOutInTheAnsiCodePage) {
    // The answer is UTF-8 on the wire; the agent's own texts are ANSI (GBK on a Chinese Windows).
    std::string message;
    ASSERT_TRUE(DecodeModifyAnswer(AnsiToUtf8("{\"code\":1003,\"message\":\"座位号已被占用\"}"), message).Parsed());
    EXPECT_EQ(message, "座位号已被占用");
}

TEST(ServerAnswers, EscapedTextsAreDecodedBeforeTheCodePage) {
    // A \u escape is a character, not six bytes; and a GBK character whose second byte is "\" must not become
    // an escape: both come out as the characters the server meant.
    std::string message;
    ASSERT_TRUE(DecodeModifyAnswer(R"({"code":1000,"data":"\u5ea7\u4f4d"})", message).Parsed());
    EXPECT_EQ(message, "座位");
    ASSERT_TRUE(DecodeModifyAnswer(AnsiToUtf8("{\"code\":1000,\"data\":\"淺色\"}"), message).Parsed());
    EXPECT_EQ(message, "淺色");
}

ServiceStartupInfo Before() {
    ServiceStartupInfo info;
    info.ecpId = "5";
    info.phase = 3;
    info.ecpRoomCode = "OLD";
    info.isStartup = 1;
    info.isSuperLock = "1";
    info.tavrelType = L"Old.exe";
    info.examineeId = "E-OLD";
    info.ecpPixel = "800*600";
    return info;
}

struct StartupRow {
    const char* name;
    std::string answer;
    AnswerError error;
    int code;
    ServiceStartupInfo expected;
};

ServiceStartupInfo With(std::function<void(ServiceStartupInfo&)> change) {
    ServiceStartupInfo info = Before();
    change(info);
    return info;
}

// The rows the room-server table (server_calls_test) cannot serve as easily: odd envelopes, and members of
// the wrong type after good ones.
TEST(ServerAnswers, StartupInfoTable) {
    const ServiceStartupInfo untouched = Before();
    const ServiceStartupInfo allMissing = With([](ServiceStartupInfo& i) {
        i.ecpId = "";
        i.phase = 0;
        i.ecpRoomCode = "";
        i.isStartup = 0;
        i.isSuperLock = "";
    });
    const std::vector<StartupRow> rows = {
        {"unknown machine with odd data", R"({"code":9000,"data":"x"})", AnswerError::None, 9000,
         With([](ServiceStartupInfo& i) { i.ecpId = "-1"; })},
        {"null data", R"({"code":1000,"data":null})", AnswerError::None, 1000, allMissing},
        {"no data", R"({"code":1000})", AnswerError::None, 1000, allMissing},
        {"ecpId only", R"({"code":1000,"data":{"ecpId":12}})", AnswerError::None, 1000,
         With([&](ServiceStartupInfo& i) {
             i = allMissing;
             i.ecpId = "12";
         })},
        {"isStartup false", R"({"code":1000,"data":{"isStartup":false}})", AnswerError::None, 1000, allMissing},
        {"isStartup as number", R"({"code":1000,"data":{"isStartup":1}})", AnswerError::None, 1000,
         With([&](ServiceStartupInfo& i) {
             i = allMissing;
             i.isStartup = 1;
         })},
        {"ecpId as text", R"({"code":1000,"data":{"ecpId":"12"}})", AnswerError::WrongType, 1000, untouched},
        {"phase as text", R"({"code":1000,"data":{"phase":"two"}})", AnswerError::WrongType, 1000, untouched},
        {"isStartup as text", R"({"code":1000,"data":{"isStartup":"yes"}})", AnswerError::WrongType, 1000,
         untouched},
        {"room as object", R"({"code":1000,"data":{"ecpRoomCode":{"c":"R"}}})", AnswerError::WrongType, 1000,
         untouched},
        {"examineeId as array", R"({"code":1000,"data":{"examineeId":["E1"]}})", AnswerError::WrongType, 1000,
         untouched},
        {"ecpPixel as object", R"({"code":1000,"data":{"ecpPixel":{"w":1}}})", AnswerError::WrongType, 1000,
         untouched},
        {"good members before a wrong one are not taken",
         R"({"code":1000,"data":{"ecpId":12,"phase":2,"ecpRoomCode":"R1","examineeId":"E7","isSuperLock":[1]}})",
         AnswerError::WrongType, 1000, untouched},
        {"data as text", R"({"code":1000,"data":"x"})", AnswerError::WrongType, 1000, untouched},
        {"code as text", R"({"code":"9000"})", AnswerError::WrongType, 0, untouched},
        {"not json", "Service Unavailable", AnswerError::NotJson, 0, untouched},
    };
    for (const StartupRow& row : rows) {
        SCOPED_TRACE(row.name);
        ServiceStartupInfo info = Before();
        AnswerStatus status = DecodeStartupInfo(row.answer, info);
        EXPECT_EQ(status.error, row.error);
        if (row.error == AnswerError::None) {
            EXPECT_EQ(status.code, row.code);
        }
        EXPECT_EQ(tavrel::test::StartupFields(info), tavrel::test::StartupFields(row.expected));
    }
}

TEST(ServerAnswers, StartupTavrelTypeIsWidened) {
    ServiceStartupInfo info = Before();
    ASSERT_TRUE(DecodeStartupInfo(AnsiToUtf8("{\"code\":1000,\"data\":{\"tavrelType\":\"考试.exe\"}}"), info).Parsed());
    EXPECT_EQ(info.tavrelType, AnsiToWide("考试.exe"));
}

TEST(StyledBody, LayoutOfJsonCppsStyledWriter) {
    EXPECT_EQ(StyledBody({{"ecpKey", BodyText("AA-BB")}, {"ecpId", BodyText("12")}}),
              "{\n   \"ecpId\" : \"12\",\n   \"ecpKey\" : \"AA-BB\"\n}\n");
    EXPECT_EQ(StyledBody({{"status", BodyInteger(-3)}, {"message", BodyText("")}}),
              "{\n   \"message\" : \"\",\n   \"status\" : -3\n}\n");
}

TEST(StyledBody, KeysInByteOrder) {
    // Upper-case letters sort before lower-case ones, as std::string compares bytes.
    EXPECT_EQ(StyledBody({{"b", BodyText("")}, {"B", BodyText("")}, {"a", BodyText("")}}),
              "{\n   \"B\" : \"\",\n   \"a\" : \"\",\n   \"b\" : \"\"\n}\n");
}

TEST(StyledBody, TextsKeepTheirBytesAndEscapeOnlyWhatJsonNeeds) {
    struct Row {
        std::string value;
        std::string written;
    } rows[] = {
        {"plain", "\"plain\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\b", "\"a\\\\b\""},
        {"tab\there", "\"tab\\there\""},
        {"line\nbreak", "\"line\\nbreak\""},
        {std::string("\x01", 1), "\"\\u0001\""},
        {"a/b", "\"a/b\""},
        {"\xB2\xE2\xCA\xD4", "\"\xB2\xE2\xCA\xD4\""},  // GBK bytes, not UTF-8: left as they are
        {"\xE8\x80\x83", "\"\xE8\x80\x83\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.written);
        EXPECT_EQ(StyledBody({{"k", BodyText(row.value)}}), "{\n   \"k\" : " + row.written + "\n}\n");
    }
}

TEST(LogUploadName, ZeroPaddedLocalTime) {
    EXPECT_EQ(LogUploadName(2026, 3, 7, 8, 5, 9), "Tavrel.20260307080509.log");
    EXPECT_EQ(LogUploadName(2026, 12, 31, 23, 59, 59), "Tavrel.20261231235959.log");
}

}  // namespace

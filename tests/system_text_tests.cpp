// The system's words for a failure, as both programs show them: never with an insert mark
// ("%1") that no value fills.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <string>

#include "app/startup.h"
#include "common/system_text.h"

namespace plovane {
namespace {

bool HasInsertMark(const std::wstring& text) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == L'%' && (iswdigit(text[i + 1]) || text[i + 1] == L'n')) return true;
    }
    return false;
}

std::wstring RawSystemText(DWORD code) {
    wchar_t raw[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   raw, 512, nullptr);
    return raw;
}

TEST(SystemTextTest, NoSystemTextKeepsAnInsertMarkAndEachSaysTheFileInItsPlace) {
    int withInserts = 0;
    for (DWORD code = 0; code < 16000; ++code) {
        const std::wstring raw = RawSystemText(code);
        if (!HasInsertMark(raw)) continue;
        ++withInserts;
        wchar_t text[512] = {};
        const size_t length = SystemText(code, text, 512);
        EXPECT_EQ(length, std::wstring(text).size());
        EXPECT_FALSE(HasInsertMark(text)) << code << ": " << text;
        EXPECT_NE(std::wstring(text).find(L"he file"), std::wstring::npos) << code << ": " << text;
        EXPECT_GT(length, 8u) << code;
    }
    EXPECT_GT(withInserts, 5) << "the system's table has texts with inserts to check";
    wchar_t text[512] = {};
    SystemText(ERROR_BAD_EXE_FORMAT, text, 512);
    EXPECT_EQ(std::wstring(text).find(L'%'), std::wstring::npos) << text;
}

TEST(SystemTextTest, ATextThatDoesNotFitIsCutAndNothingIsWrittenBeyond) {
    struct Guarded {
        wchar_t text[12];
        wchar_t after[4] = {L'g', L'g', L'g', L'g'};
    } guarded;
    const size_t length = SystemText(ERROR_BAD_EXE_FORMAT, guarded.text, 12);
    EXPECT_EQ(length, 11u);
    EXPECT_EQ(std::wstring(guarded.text).size(), 11u);
    EXPECT_EQ(std::wstring(guarded.after, 4), L"gggg");
    wchar_t none[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(SystemText(0xDEADBEEF, none, 4), 0u);
    EXPECT_STREQ(none, L"");
}

// The tool's start-up report for a class whose server is no program (the status Windows gives
// a DLL of another format or a file of text).
TEST(SystemTextTest, TheToolsStartUpReportForAServerThatIsNoProgramHasNoInsertMark) {
    const HRESULT badFormat = HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT);
    ASSERT_TRUE(HasInsertMark(RawSystemText(static_cast<DWORD>(badFormat))))
        << "the system's own text has the mark";
    const std::wstring text = DescribeStartupFailure(badFormat).text;
    EXPECT_NE(text.find(L"0x800700C1"), std::wstring::npos) << text;
    EXPECT_FALSE(HasInsertMark(text)) << text;
    EXPECT_NE(text.find(L"the file"), std::wstring::npos) << text;
}

}  // namespace
}  // namespace plovane

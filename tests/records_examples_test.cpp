// The writer's rules for the names and lines of a records folder, checked
// against the one file of examples that every other reader of the folder
// checks itself against too.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "core/field_settings.h"
#include "core/fleet_protocol.h"
#include "core/record_fields.h"
#include "core/record_stamp.h"
#include "core/records_names.h"

namespace {

const char kExamples[] =
#include "records_examples.inc"
    ;

// The example's text with its \xHH and \\ turned into bytes.
std::string unescaped(const std::string& text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 1 < text.size() && text[at + 1] == '\\') {
            bytes += '\\';
            ++at;
        } else if (text[at] == '\\' && at + 3 < text.size() && text[at + 1] == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16));
            at += 3;
        } else {
            bytes += text[at];
        }
    }
    return bytes;
}

const char* kindWord(RecordsFileKind kind) {
    switch (kind) {
        case RecordsFileKind::Records: return "registros";
        case RecordsFileKind::ServiceRecords: return "servicio";
        case RecordsFileKind::FieldNames: return "campos";
        case RecordsFileKind::None: break;
    }
    return "no";
}

// "POS=VALUE ..." of the numbers in a record, the values as doubles read back.
std::string numbersOf(const std::string& record) {
    std::ostringstream numbers;
    RecordFields fields = fieldsOf(record.data(), record.size());
    RecordField field;
    double value = 0;
    while (nextField(fields, field)) {
        if (fieldNumber(field, value)) {
            numbers << (numbers.tellp() > 0 ? " " : "") << field.position << "=" << value + 0.0;  // -0 as 0
        }
    }
    return numbers.str();
}

// The expected "POS=VALUE ..." written the same way, so that 2.5 and 2.50 agree.
std::string normalNumbers(const std::string& expected) {
    std::istringstream words(expected);
    std::ostringstream numbers;
    std::string word;
    while (words >> word) {
        const std::size_t equals = word.find('=');
        numbers << (numbers.tellp() > 0 ? " " : "") << word.substr(0, equals) << "="
                << std::stod(word.substr(equals + 1));
    }
    return numbers.str();
}

std::string fieldLineSays(const std::string& text) {
    const FieldLine line = readFieldLine(text.data(), text.size());
    std::ostringstream says;
    switch (line.kind) {
        case FieldLineKind::None: return "no";
        case FieldLineKind::Name:
            says << "name " << line.position << " " << std::string(line.name, line.nameLength);
            break;
        case FieldLineKind::LowLimit: says << "min " << line.position << " " << line.limit; break;
        case FieldLineKind::HighLimit: says << "max " << line.position << " " << line.limit; break;
    }
    return says.str();
}

std::string normalSays(const std::string& says) {
    if (says.compare(0, 4, "min ") != 0 && says.compare(0, 4, "max ") != 0) return says;
    const std::size_t value = says.rfind(' ');
    std::ostringstream normal;
    normal << says.substr(0, value + 1) << std::stod(says.substr(value + 1));
    return normal.str();
}

TEST(RecordsExamples, NamesAndLinesAreJudgedAsTheExamplesSay) {
    std::istringstream examples(kExamples);
    std::string line;
    int checked = 0;
    while (std::getline(examples, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
        ASSERT_NE(second, std::string::npos) << line;
        const std::string what = line.substr(0, first);
        std::string expected = line.substr(first + 1, second - first - 1);
        std::string text = unescaped(line.substr(second + 1));
        if (what == "fields" || what == "campos") {
            // The text in the middle, what is said of it last.
            text = unescaped(expected);
            expected = line.substr(second + 1);
        }
        if (what == "fields") {
            EXPECT_EQ(numbersOf(text), normalNumbers(expected)) << line;
        } else if (what == "campos") {
            EXPECT_EQ(fieldLineSays(text), normalSays(expected)) << line;
        } else if (what == "name") {
            // A name with a zero byte could not reach the rule as a file name.
            EXPECT_EQ(kindWord(recordsFileKind(text.c_str())), expected) << line;
        } else {
            ASSERT_EQ(what, "line") << line;
            EXPECT_EQ(isRecordLine(text.data(), text.size()) ? "si" : "no", expected) << line;
        }
        ++checked;
    }
    EXPECT_GT(checked, 120);
}

// The file as a whole: a later line for the same field wins, and a field
// named without limits or limited without a name is kept as far as it goes.
TEST(RecordsExamples, FieldSettingsGatherEachFieldsLines) {
    const std::string file = "4=Temperatura C\r\n4 min=2,5\n4 max=8\n6 max=1\n4 max=9\n# 5=x\n5";
    FieldSettings settings;
    readFieldSettings(settings, file.data(), file.size());
    ASSERT_EQ(settings.count, 2);
    const FieldSetting* four = fieldSetting(settings, 4);
    ASSERT_NE(four, nullptr);
    EXPECT_STREQ(four->name, "Temperatura C");
    EXPECT_TRUE(four->hasLow && four->hasHigh);
    EXPECT_EQ(four->low, 2.5);
    EXPECT_EQ(four->high, 9);
    const FieldSetting* six = fieldSetting(settings, 6);
    ASSERT_NE(six, nullptr);
    EXPECT_STREQ(six->name, "");
    EXPECT_FALSE(six->hasLow);
    EXPECT_EQ(fieldSetting(settings, 5), nullptr);
}

// The longest record line the writer can write, and one byte more.
TEST(RecordsExamples, ARecordLineIsBoundedByTheLongestReply) {
    std::string longest = "2026-12-09T13:45:06.337," + std::string(kMaxReplyLength, 'x') + "\r";
    EXPECT_TRUE(isRecordLine(longest.data(), longest.size()));
    longest.insert(30, "x");
    EXPECT_FALSE(isRecordLine(longest.data(), longest.size()));
}

// The service takes as its name what can name its files, and nothing more.
TEST(RecordsExamples, AServiceNameIsWhatItsFilesCanBeNamedAfter) {
    for (const char* name : {"ttyUSB0", "térmico", "Cámara fría 2", "COM3"}) {
        EXPECT_TRUE(isRecordsName(name)) << name;
    }
    for (const char* name : {"", "-x", ".x", " x", "x ", "a/b", "a\xc3", "a\xc3\x97"}) {
        EXPECT_FALSE(isRecordsName(name)) << name;
    }
}

}  // namespace

// What the fleet's central host writes of a board's bytes: whole record
// lines, up to the first that is none or to an unfinished one.
TEST(RecordsExamples, OnlyWholeRecordLinesLandOnTheCentralHost) {
    const std::string a = "2026-12-09T13:45:06.337,a\n", b = "2026-12-09T13:45:07.337,b\r\n";
    const struct {
        std::string bytes;
        std::size_t whole;
        bool bad;
    } cases[] = {
        {a + b, a.size() + b.size(), false},
        {a + "2026-12-09T13:45:0", a.size(), false},  // the rest comes with the next pass
        {a + "<script>\n" + b, a.size(), true},
        {std::string(5000, '\0'), 0, true},  // a sparse file: no line ends in time
        {a + std::string(kMaxRecordLineLength, 'x'), a.size(), false},
        {a + std::string(kMaxRecordLineLength + 1, 'x'), a.size(), true},
        {"", 0, false},
    };
    for (const auto& c : cases) {
        const RecordLinesCheck check = checkRecordLines(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(check.whole, c.whole) << c.bytes.substr(0, 40);
        EXPECT_EQ(check.bad, c.bad) << c.bytes.substr(0, 40);
    }
}

// A board's words in the central host's log: printable, bounded, marked cut.
TEST(RecordsExamples, WhatABoardSaysIsLoggedEscapedAndBounded) {
    const struct {
        std::string bytes;
        const char* logged;
    } cases[] = {
        {"térmico-2026-12.csv", "térmico-2026-12.csv"},
        {"a\nb\\c\xff", "a\\x0Ab\\x5Cc\\xFF"},
        {"\xe2\x80\xae" "lmth.csv", "\\xE2\\x80\\xAElmth.csv"},  // no text turned around
        {std::string(40, 'n'), "nnnnnnnnnnnnnnnnnnnnnnnnnnnn..."},
    };
    for (const auto& c : cases) {
        char text[32];
        escapeForLog(text, sizeof text, c.bytes.data(), c.bytes.size());
        EXPECT_STREQ(text, c.logged);
    }
    std::uint64_t bytes = 0;
    EXPECT_TRUE(parseByteSize("20G", bytes) && bytes == (std::uint64_t{20} << 30));
    for (const char* bad : {"", "G", "1.5G", "-1", "20g", "99999999999999999999", "17179869184G"}) {
        EXPECT_FALSE(parseByteSize(bad, bytes)) << bad;
    }
}

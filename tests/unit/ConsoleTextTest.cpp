// What the console reads from people and writes for them: lists of account names as editors
// and spreadsheets save them, and names from the server's files made safe for a terminal, a
// page and a spreadsheet.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vserverctl/NameList.h"
#include "vserverctl/TextForms.h"

namespace vserver::ctl {
namespace {

std::vector<std::string> Names(const std::vector<ListedName>& listed) {
    std::vector<std::string> names;
    for (const ListedName& name : listed) names.push_back(name.name);
    return names;
}

std::vector<long long> LineNumbers(const std::vector<ListedName>& listed) {
    std::vector<long long> lines;
    for (const ListedName& name : listed) lines.push_back(name.line);
    return lines;
}

TEST(NameList, OneNamePerLineWithCommentsAndBlanks) {
    const auto listed = ParseNameList("\xEF\xBB\xBF# class 3a\r\namy\r\n\r\n  ben smith \t\r\n   # left\r\ncat", "new.txt");
    EXPECT_EQ(Names(listed), (std::vector<std::string>{"amy", "ben smith", "cat"}));
    EXPECT_EQ(LineNumbers(listed), (std::vector<long long>{2, 4, 6}));
    EXPECT_TRUE(ParseNameList("", "empty.txt").empty());
}

TEST(NameList, TheFirstColumnOfATableWithAHeader) {
    // A spreadsheet's export: the header names the columns, quotes hold separators and breaks.
    const std::string text = "Name,Class,Note\r\n"
                             "amy,3a,\r\n"
                             "\"smith, ben\",3b,\"two\r\nlines\"\r\n"
                             "\"o\"\"neil\",3c,x\r\n"
                             "# a comment row\r\n"
                             ",3d,no name\r\n"
                             "cat,3a,\r\n";
    const auto listed = ParseNameList(text, "pupils.txt");
    EXPECT_EQ(Names(listed), (std::vector<std::string>{"amy", "smith, ben", "o\"neil", "cat"}));
    EXPECT_EQ(LineNumbers(listed), (std::vector<long long>{2, 3, 5, 8}));

    // Semicolons (spreadsheets in many languages) and TABs separate as well.
    EXPECT_EQ(Names(ParseNameList("Name;Class\namy;3a\nben;3b\n", "-")), (std::vector<std::string>{"amy", "ben"}));
    EXPECT_EQ(Names(ParseNameList("Name\tClass\namy\t3a\n", "-")), (std::vector<std::string>{"amy"}));
    // A one-column CSV file is a table by its name: its first line is the header.
    EXPECT_EQ(Names(ParseNameList("Name\namy\n", "PUPILS.CSV")), (std::vector<std::string>{"amy"}));
    // Blanks after a name are no column.
    EXPECT_EQ(Names(ParseNameList("amy\t \nben\n", "-")), (std::vector<std::string>{"amy", "ben"}));
}

TEST(TextForms, NamesFromTheCodePageInEveryOutput) {
    EXPECT_EQ(Utf8FromCodePage("\xE9l\xE8ve \x80"), "\u00e9l\u00e8ve \u20ac");
    // Control characters and the code page's undefined bytes cannot break a table line.
    EXPECT_EQ(DisplayText("a\tb\nc\x81"), "a\ufffdb\ufffdc\ufffd");
    EXPECT_EQ(HtmlEscape("<b title=\"x\">Tom & 'Jo'</b>"),
              "&lt;b title=&quot;x&quot;&gt;Tom &amp; &#39;Jo&#39;&lt;/b&gt;");
    EXPECT_EQ(CsvCell("amy"), "amy");
    EXPECT_EQ(CsvCell("smith, ben"), "\"smith, ben\"");
    EXPECT_EQ(CsvCell("say \"hi\"\n"), "\"say \"\"hi\"\"\n\"");
    // What a spreadsheet would run as a formula is kept as text.
    EXPECT_EQ(CsvCell("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
    EXPECT_EQ(CsvCell("-1+1"), "'-1+1");
    EXPECT_EQ(Grouped(1234567), "1,234,567");
    EXPECT_EQ(Grouped(-1000), "-1,000");
    EXPECT_EQ(Grouped(999), "999");
    EXPECT_EQ(HoursAndMinutes(3 * 3600 + 5 * 60 + 59), "3:05");
}

} // namespace
} // namespace vserver::ctl

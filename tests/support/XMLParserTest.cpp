#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "MyAssert.h"
#include "SupportTestUtil.h"
#include "XMLPrefsParser.h"

namespace {

class XMLTest : public ::testing::Test {
protected:
    void SetUp() override { fPath = fDir.File("Velmar.xml"); }
    // Parses content; the error text (if any) goes to fError.
    bool Parse(const std::string& content, DTDVerifier* verifier = nullptr)
    {
        EXPECT_TRUE(WriteFile(fPath, content));
        XMLParser parser(fPath.c_str(), verifier);
        memset(fError, 0, sizeof(fError));
        return parser.ParseFile(fError, sizeof(fError));
    }
    // Parses content and writes it back; the text written.
    std::string RoundTrip(const std::string& content)
    {
        EXPECT_TRUE(WriteFile(fPath, content));
        XMLPrefsParser prefs(fPath.c_str());
        EXPECT_EQ(0, prefs.Parse());
        EXPECT_EQ(0, prefs.WritePrefsFile());
        return ReadText(fPath);
    }

    TempDir fDir;
    std::string fPath;
    char fError[600];
};

TEST_F(XMLTest, WriterOutputIsExact)
{
    XMLPrefsParser prefs(fPath.c_str());
    ASSERT_NE(nullptr, prefs.GetRefForServer());
    ContainerRef module = prefs.GetRefForModule("QuorVelmar");
    PrefRef pref = prefs.AddPref(module, "x", "UInt16");
    ASSERT_TRUE(prefs.SetPrefValue(pref, 0, "1"));
    ASSERT_EQ(0, prefs.WritePrefsFile());
    EXPECT_EQ("<CONFIGURATION>\n\t<SERVER></SERVER>\n\t<MODULE NAME=\"QuorVelmar\" >\n"
              "\t\t<PREF NAME=\"x\" TYPE=\"UInt16\" >1</PREF>\n\t</MODULE>\n</CONFIGURATION>\n",
              ReadText(fPath));
    EXPECT_EQ(0640u, FileMode(fPath));
}

TEST_F(XMLTest, ReadingNormalisesLayout)
{
    std::string written = RoundTrip(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE x>\n<!-- a <comment> -->\n"
        "<CONFIGURATION>\n  <SERVER/>\n  <MODULE NAME=\"M\">\n"
        "    <PREF   NAME=\"a\"   TYPE=\"char\">one two </PREF><!-- c -->\n"
        "    <LIST-PREF NAME=\"l\"><VALUE>1</VALUE><VALUE>2</VALUE></LIST-PREF>\n"
        "    <PREF NAME=\"e\"/>\n  </MODULE>\n</CONFIGURATION>\n");
    EXPECT_EQ("<CONFIGURATION>\n\t<SERVER></SERVER>\n\t<MODULE NAME=\"M\" >\n"
              "\t\t<PREF NAME=\"a\" TYPE=\"char\" >one two </PREF>\n"
              "\t\t<LIST-PREF NAME=\"l\" >\n\t\t\t<VALUE>1</VALUE>\n\t\t\t<VALUE>2</VALUE>\n\t\t</LIST-PREF>\n"
              "\t\t<PREF NAME=\"e\" ></PREF>\n\t</MODULE>\n</CONFIGURATION>\n",
              written);
    // Written files read back to the same text.
    EXPECT_EQ(written, RoundTrip(written));
}

TEST_F(XMLTest, ValuesAreKeptAsWritten)
{
    ASSERT_TRUE(WriteFile(fPath, "<CONFIGURATION><MODULE NAME=\"M\"><PREF NAME=\"a\"/>"
                                 "<PREF NAME=\"amp\">a&amp;b</PREF>"
                                 "<PREF NAME=\"hi\">\xC3\xA9t\xE9\x80</PREF></MODULE></CONFIGURATION>"));
    XMLPrefsParser prefs(fPath.c_str());
    ASSERT_EQ(0, prefs.Parse());
    ContainerRef module = prefs.GetRefForModule("M");
    PrefRef a = prefs.GetPrefRefByName(module, "a");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0u, prefs.GetNumPrefValues(a));
    char* name = nullptr;
    char* type = nullptr;
    EXPECT_EQ(nullptr, prefs.GetPrefValueByRef(a, 0, &name, &type));
    EXPECT_STREQ("a", name);
    EXPECT_STREQ("CharArray", type);
    EXPECT_STREQ("a&amp;b", prefs.GetPrefValueByRef(prefs.GetPrefRefByName(module, "amp"), 0, nullptr, nullptr));
    EXPECT_STREQ("\xC3\xA9t\xE9\x80", prefs.GetPrefValueByIndex(module, 2, 0, &name, nullptr));
    EXPECT_STREQ("hi", name);
    EXPECT_EQ(nullptr, prefs.GetPrefRefByName(module, "none"));
    EXPECT_EQ(nullptr, prefs.GetPrefRefByIndex(module, 3));
    EXPECT_EQ(3u, prefs.GetNumPrefsByContainer(module));
}

TEST_F(XMLTest, ParseErrorsNameTheLine)
{
    EXPECT_FALSE(Parse("<A>\n<B>x</C>\n</A>"));
    EXPECT_STREQ("End tag </C> on line 2 doesn't match tag <B> declared on line 2", fError);
    EXPECT_FALSE(Parse("<A>\r\n\r\n  <B>\r\n</A>"));
    EXPECT_STREQ("End tag </A> on line 4 doesn't match tag <B> declared on line 3", fError);
    EXPECT_FALSE(Parse(""));
    EXPECT_STREQ("Couldn't read xml file", fError);
    EXPECT_FALSE(Parse("just text"));
    EXPECT_STREQ("Couldn't find a valid tag", fError);
    EXPECT_FALSE(Parse("<!-- only a comment -->"));
    EXPECT_STREQ("Couldn't find a valid tag", fError);
    EXPECT_FALSE(Parse("\n</A>"));
    EXPECT_STREQ("End tag with no begin tag on line 2", fError);
    EXPECT_FALSE(Parse("< A></A>"));
    EXPECT_STREQ("Unexpected character ( ) on line 1", fError);
    EXPECT_FALSE(Parse("<A/ ></A>"));
    EXPECT_STREQ("'>' must follow '/' on line 1", fError);
    EXPECT_FALSE(Parse("<A N\"x\"></A>"));
    EXPECT_STREQ("Missing '=' after attribute N on line 1", fError);
    EXPECT_FALSE(Parse("<A N=x></A>"));
    EXPECT_STREQ("Attribute N value not in quotes on line 1", fError);
    EXPECT_FALSE(Parse("<A N=\"x></A>"));
    EXPECT_STREQ("Attribute N value not in quotes on line 1", fError);
    EXPECT_FALSE(Parse("<A>\n<B>text"));
    EXPECT_STREQ("Reached end of file without end for tag <B> declared on line 2", fError);
    EXPECT_FALSE(Parse("<A></A   "));
    EXPECT_STREQ("Couldn't find end of tag <A> declared on line 1", fError);
    EXPECT_FALSE(Parse("<A N=\"1\""));
    EXPECT_STREQ("Bad format for tag <A> on line 1", fError);
    EXPECT_FALSE(Parse("<A\xC3></A>"));  // a high byte ends a name
    EXPECT_STREQ("Unexpected character (\xC3) on line 1", fError);

    // Text beside embedded tags is reported but does not fail.
    EXPECT_TRUE(Parse("<A>stray<B>1</B>\n</A>"));
    EXPECT_STREQ("Unexpected text outside of tag on line 1", fError);
}

TEST_F(XMLTest, ErrorTextsAreBounded)
{
    std::string name(3000, 'N');
    ASSERT_TRUE(WriteFile(fPath, "<" + name + "></X>"));
    XMLParser parser(fPath.c_str());
    char buffer[520];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_FALSE(parser.ParseFile(buffer, 500));
    EXPECT_EQ(499u, strlen(buffer));
    EXPECT_EQ('#', buffer[500]);
    // A buffer under 500 bytes receives nothing.
    char tiny[100];
    memset(tiny, '#', sizeof(tiny));
    EXPECT_FALSE(parser.ParseFile(tiny, sizeof(tiny)));
    EXPECT_EQ('#', tiny[0]);
    EXPECT_FALSE(parser.ParseFile(nullptr, 0));
    EXPECT_EQ(nullptr, parser.GetRootTag());
}

TEST_F(XMLTest, NestingIsCapped)
{
    auto nested = [](int depth) {
        std::string open, close;
        for (int i = 0; i < depth; ++i) {
            open += "<T>";
            close += "</T>";
        }
        return open + "v" + close;
    };
    EXPECT_TRUE(Parse(nested(64)));
    EXPECT_FALSE(Parse(nested(65)));
    EXPECT_STREQ("Tags nested deeper than 64 levels on line 1", fError);
    EXPECT_FALSE(Parse(nested(100000)));
}

TEST_F(XMLTest, OversizedAndMissingFiles)
{
    int fd = open(fPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, (off_t)XMLParser::kMaxFileSize + 1));  // sparse
    close(fd);
    XMLParser big(fPath.c_str());
    char error[500];
    EXPECT_FALSE(big.ParseFile(error, sizeof(error)));
    EXPECT_STREQ("Couldn't read xml file", error);

    XMLPrefsParser missing(fDir.File("none.xml").c_str());
    EXPECT_EQ(-1, missing.Parse());
    EXPECT_FALSE(missing.DoesFileExist());
    EXPECT_TRUE(missing.CanWriteFile());
    XMLParser dir(fDir.Path().c_str());
    EXPECT_TRUE(dir.DoesFileExistAsDirectory());
    EXPECT_TRUE(big.DoesFileExist());
    EXPECT_FALSE(big.DoesFileExistAsDirectory());
    EXPECT_TRUE(big.CanWriteFile());
}

TEST_F(XMLTest, ListsAndTypes)
{
    XMLPrefsParser prefs(fPath.c_str());
    ContainerRef module = prefs.GetRefForModule("M");
    PrefRef text = prefs.AddPref(module, "t", "CharArray");
    EXPECT_EQ(nullptr, text->GetAttributeValue("TYPE"));
    EXPECT_EQ(text, prefs.AddPref(module, "t", "UInt32"));  // existing entry
    PrefRef object = prefs.AddPref(module, "o", "Quor_Object");
    EXPECT_STREQ("EMPTY-OBJECT", object->GetTagName());
    EXPECT_EQ(nullptr, prefs.AddPref(module, "bad\"name", "char"));
    EXPECT_EQ(nullptr, prefs.AddPref(module, "bad<name", "char"));
    EXPECT_EQ(nullptr, prefs.AddPref(nullptr, "x", "char"));

    PrefRef list = prefs.AddPref(module, "l", "UInt16");
    ASSERT_TRUE(prefs.AddPrefValue(list, "old"));
    EXPECT_STREQ("PREF", list->GetTagName());
    ASSERT_TRUE(prefs.AddPrefValue(list, "new"));
    EXPECT_STREQ("LIST-PREF", list->GetTagName());
    ASSERT_EQ(2u, prefs.GetNumPrefValues(list));
    EXPECT_STREQ("old", prefs.GetPrefValueByRef(list, 0, nullptr, nullptr));
    EXPECT_STREQ("new", prefs.GetPrefValueByRef(list, 1, nullptr, nullptr));
    EXPECT_STREQ("VALUE", list->GetEmbeddedTag(0)->GetTagName());
    EXPECT_TRUE(prefs.SetPrefValue(list, 2, "third"));
    EXPECT_TRUE(prefs.SetPrefValue(list, 1, "second"));
    EXPECT_FALSE(prefs.SetPrefValue(list, 9, "beyond"));
    EXPECT_EQ(3u, prefs.GetNumPrefValues(list));
    prefs.RemovePrefValue(list, 0);
    EXPECT_EQ(2u, prefs.GetNumPrefValues(list));
    prefs.RemovePrefValue(list, 7);  // out of range: nothing
    EXPECT_EQ(2u, prefs.GetNumPrefValues(list));
    prefs.RemovePrefValue(list, 0);
    EXPECT_STREQ("PREF", list->GetTagName());
    EXPECT_STREQ("third", prefs.GetPrefValueByRef(list, 0, nullptr, nullptr));
    EXPECT_EQ(0u, list->GetNumEmbeddedTags());
    char* type = nullptr;
    prefs.ChangePrefType(list, "SInt32");
    prefs.GetPrefValueByRef(list, 0, nullptr, &type);
    EXPECT_STREQ("SInt32", type);
    prefs.ChangePrefType(list, "CharArray");
    prefs.GetPrefValueByRef(list, 0, nullptr, &type);
    EXPECT_STREQ("CharArray", type);
    prefs.RemovePrefValue(list, 0);  // the last value removes the entry
    EXPECT_EQ(nullptr, prefs.GetPrefRefByName(module, "l"));

    unsigned long asserts = MyAssertCount();
    EXPECT_EQ(nullptr, prefs.GetPrefRefByName(module, nullptr));
    EXPECT_EQ(asserts + 1, MyAssertCount());
    prefs.RemovePref(text);
    EXPECT_EQ(1u, prefs.GetNumPrefsByContainer(module));
}

TEST_F(XMLTest, Objects)
{
    XMLPrefsParser prefs(fPath.c_str());
    ContainerRef module = prefs.GetRefForModule("M");
    PrefRef obj = prefs.AddPref(module, "o", "Quor_Object");
    EXPECT_EQ(0u, prefs.GetNumPrefValues(obj));
    ContainerRef first = prefs.AddNewObject(obj);
    EXPECT_EQ(obj, first);
    EXPECT_STREQ("OBJECT", obj->GetTagName());
    prefs.SetPrefValue(prefs.AddPref(first, "inner", "char"), 0, "1");
    EXPECT_EQ(1u, prefs.GetNumPrefValues(obj));
    ContainerRef second = prefs.AddNewObject(obj);
    ASSERT_NE(nullptr, second);
    EXPECT_STREQ("LIST-OBJECT", obj->GetTagName());
    EXPECT_EQ(2u, prefs.GetNumPrefValues(obj));
    ContainerRef firstNow = prefs.GetObjectValue(obj, 0);
    ASSERT_NE(nullptr, firstNow);
    EXPECT_STREQ("1", prefs.GetPrefValueByRef(prefs.GetPrefRefByName(firstNow, "inner"), 0, nullptr, nullptr));
    EXPECT_EQ(second, prefs.GetObjectValue(obj, 1));
    char* type = nullptr;
    EXPECT_EQ(nullptr, prefs.GetPrefValueByRef(obj, 0, nullptr, &type));
    EXPECT_STREQ("Quor_Object", type);
    prefs.RemovePrefValue(obj, 1);  // folds back into one object
    EXPECT_STREQ("OBJECT", obj->GetTagName());
    EXPECT_NE(nullptr, prefs.GetPrefRefByName(obj, "inner"));
    EXPECT_EQ(obj, prefs.GetObjectValue(obj, 0));
    EXPECT_EQ(nullptr, prefs.GetObjectValue(obj, 1));
    EXPECT_EQ(nullptr, prefs.AddNewObject(prefs.AddPref(module, "p", "char")));
}

TEST_F(XMLTest, NewSectionsAreWritten)
{
    ASSERT_TRUE(WriteFile(fPath, "<CONFIGURATION><SERVER></SERVER></CONFIGURATION>"));
    XMLPrefsParser prefs(fPath.c_str());
    ASSERT_EQ(0, prefs.Parse());
    ContainerRef created = prefs.GetRefForModule("New");
    EXPECT_EQ(created, prefs.GetRefForModule("New", false));
    EXPECT_EQ(prefs.GetRefForServer(), prefs.GetRefForModule(nullptr));
    ASSERT_EQ(0, prefs.WritePrefsFile());
    EXPECT_EQ("<CONFIGURATION>\n\t<SERVER></SERVER>\n\t<MODULE NAME=\"New\" ></MODULE>\n</CONFIGURATION>\n",
              ReadText(fPath));
}

TEST_F(XMLTest, UnreadableValuesAreRefused)
{
    XMLPrefsParser prefs(fPath.c_str());
    PrefRef pref = prefs.AddPref(prefs.GetRefForModule("M"), "RS232Speed", "char");
    ASSERT_TRUE(prefs.SetPrefValue(pref, 0, "9600"));
    EXPECT_FALSE(prefs.SetPrefValue(pref, 0, "9600<"));
    EXPECT_FALSE(prefs.SetPrefValue(pref, 0, nullptr));
    EXPECT_FALSE(prefs.AddPrefValue(pref, "a<b"));
    EXPECT_STREQ("9600", prefs.GetPrefValueByRef(pref, 0, nullptr, nullptr));
    EXPECT_TRUE(XMLPrefsParser::IsStorableValue("a>b&c\"d"));
    EXPECT_FALSE(XMLPrefsParser::IsStorableValue("<"));
    // Every storable value reads back unchanged.
    ASSERT_TRUE(prefs.SetPrefValue(pref, 0, "a>b&amp;c\"d \t"));
    ASSERT_EQ(0, prefs.WritePrefsFile());
    XMLPrefsParser again(fPath.c_str());
    ASSERT_EQ(0, again.Parse());
    EXPECT_STREQ("a>b&amp;c\"d \t", again.GetPrefValueByRef(again.GetPrefRefByName(again.GetRefForModule("M"),
                                                                                 "RS232Speed"),
                                                          0, nullptr, nullptr));
}

TEST_F(XMLTest, FailedWriteKeepsTheOldFile)
{
    XMLPrefsParser prefs(fPath.c_str());
    prefs.SetPrefValue(prefs.AddPref(prefs.GetRefForModule("M"), "k", "char"), 0, "v1");
    ASSERT_EQ(0, prefs.WritePrefsFile());
    std::string before = ReadText(fPath);
    ASSERT_EQ(0, mkdir((fPath + ".tmp").c_str(), 0755));
    prefs.SetPrefValue(prefs.GetPrefRefByName(prefs.GetRefForModule("M"), "k"), 0, "v2");
    EXPECT_EQ(-1, prefs.WritePrefsFile());
    EXPECT_EQ(before, ReadText(fPath));
    ASSERT_EQ(0, rmdir((fPath + ".tmp").c_str()));
    EXPECT_EQ(0, prefs.WritePrefsFile());
    EXPECT_NE(std::string::npos, ReadText(fPath).find(">v2<"));

    XMLParser empty(fDir.File("other.xml").c_str());
    EXPECT_EQ(-1, empty.WriteToFile(nullptr));  // no root
    EXPECT_FALSE(PathExists(fDir.File("other.xml")));
}

TEST_F(XMLTest, TagOperations)
{
    XMLTag root("R");
    XMLTag* a = new XMLTag("A");
    a->AddAttribute("NAME", "x");
    a->AddAttribute("K", "1");
    a->AddAttribute("K", "2");
    root.AddEmbeddedTag(a);
    XMLTag* b = new XMLTag("B");
    b->AddAttribute("NAME", "x");
    root.AddEmbeddedTag(b);
    root.SetValue("ignored");  // has embedded tags
    EXPECT_EQ(nullptr, root.GetValue());
    EXPECT_STREQ("1", a->GetAttributeValue("K"));
    a->RemoveAttribute("K");
    EXPECT_STREQ("2", a->GetAttributeValue("K"));
    EXPECT_EQ(b, root.GetEmbeddedTagByAttr("NAME", "x", 1));
    EXPECT_EQ(b, root.GetEmbeddedTagByNameAndAttr("B", "NAME", "x", 0));
    EXPECT_EQ(nullptr, root.GetEmbeddedTagByNameAndAttr("B", "NAME", "x", 1));
    EXPECT_EQ(nullptr, root.GetEmbeddedTag(2));
    EXPECT_EQ(nullptr, root.GetEmbeddedTagByName(nullptr));
    root.RemoveEmbeddedTag(a);
    EXPECT_EQ(1u, root.GetNumEmbeddedTags());
    a->SetValue("v");
    a->SetTagName("A2");
    root.AddEmbeddedTag(a);
    ResizeableStringFormatter out(4);
    root.FormatData(&out, 1);
    EXPECT_EQ("\t<R>\n\t\t<B NAME=\"x\" ></B>\n\t\t<A2 NAME=\"x\" K=\"2\" >v</A2>\n\t</R>\n",
              std::string(out.GetBufPtr(), out.GetCurrentOffset()));
}

// Accepts only <R> holding <S NAME="..."> tags without data.
class TestVerifier : public DTDVerifier {
public:
    bool IsValidSubtag(const char* tag, const char* sub) override
    {
        return strcmp(tag, "R") == 0 && strcmp(sub, "S") == 0;
    }
    bool IsValidAttributeName(const char*, const char* attr) override { return strcmp(attr, "NAME") == 0; }
    bool IsValidAttributeValue(const char*, const char*, const char* value) override
    {
        return strcmp(value, "bad") != 0;
    }
    bool CanHaveValue(const char*) override { return false; }
};

TEST_F(XMLTest, VerifierMessages)
{
    TestVerifier v;
    EXPECT_TRUE(Parse("<R><S NAME=\"a\"/></R>", &v));
    EXPECT_FALSE(Parse("<R><S ID=\"a\"/></R>", &v));
    EXPECT_STREQ("Attribute ID not allowed in tag S on line 1", fError);
    EXPECT_FALSE(Parse("<R><S NAME=\"bad\"/></R>", &v));
    EXPECT_STREQ("Bad value for attribute NAME on line 1", fError);
    EXPECT_FALSE(Parse("<R>\n<T/></R>", &v));
    EXPECT_STREQ("Tag T not allowed in tag R on line 2", fError);
    EXPECT_FALSE(Parse("<R><S>data</S></R>", &v));
    EXPECT_STREQ("Tag <S> on line 1 not allowed to have data", fError);
}

TEST(XMLPrefs, DiskFreeSpace)
{
    EXPECT_GT(XMLPrefsParser::GetDiskFreeSpace("/tmp"), 0u);
    EXPECT_EQ(0u, XMLPrefsParser::GetDiskFreeSpace("/no/such/place"));
    EXPECT_EQ(0u, XMLPrefsParser::GetDiskFreeSpace(nullptr));
}

}  // namespace

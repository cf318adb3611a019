#include <gtest/gtest.h>

#include <string>

#include "platform/mail/outgoing_message.h"

namespace mail {
namespace {

TEST(HtmlToText, RendersMarkupAsPlainText) {
    struct Case {
        const char* name;
        const char* html;
        const char* text;
    };
    const Case cases[] = {
        {"paragraphs and breaks", "<p>One</p><p>Two<br>Three</p>", "One\nTwo\nThree\n"},
        {"source layout collapses", "<p>  a\r\n\t b  </p>", "a b\n"},
        {"script and style dropped",
         "<html><head><style>p{color:red}</style><script>var a = '<p>x</p>';</script></head>"
         "<body><p>Shown</p></body></html>",
         "Shown\n"},
        {"title on its own line", "<title>Subject</title><p>Body</p>", "Subject\nBody\n"},
        {"lists and tables",
         "<ul><li>a</li><li>b</li></ul><table><tr><td>1</td><td>2</td></tr>"
         "</table>",
         "- a\n- b\n\t1\t2\n"},
        {"named entities beyond the basic five",
         "<p>&eacute;t&eacute; &ndash; &copy; &euro;5 &hellip; caf&#233; &#x263A;</p>",
         "\xC3\xA9t\xC3\xA9 \xE2\x80\x93 \xC2\xA9 \xE2\x82\xAC"
         "5 \xE2\x80\xA6 caf\xC3\xA9 "
         "\xE2\x98\xBA\n"},
        {"basic entities", "<p>a &lt;b&gt; &amp; &quot;c&quot; &#39;d&#39;</p>",
         "a <b> & \"c\" 'd'\n"},
        {"no-break spaces stay", "<p>Join&nbsp;<b>list</b></p>", "Join list\n"},
        {"upper-case tags", "<P>One<BR>Two</P>", "One\nTwo\n"},
        {"UTF-8 text passes through",
         "<p>Gr\xC3\xBC\xC3\x9F"
         "e</p>",
         "Gr\xC3\xBC\xC3\x9F"
         "e\n"},
        {"empty document", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HtmlToText(c.html), c.text) << c.name;
}

// A plain-text reader sees where each link leads, once.
TEST(HtmlToText, LinksShowTheAddressTheyLeadTo) {
    struct Case {
        const char* name;
        const char* html;
        const char* text;
    };
    const Case cases[] = {
        {"text then address",
         "<p>Read <a href=\"https://example.org/a?b=1&amp;c=2\">our news</a>.</p>",
         "Read our news <https://example.org/a?b=1&c=2>.\n"},
        {"address as its own text",
         "<p><a href=\"https://example.org/\">https://example.org/</a></p>",
         "https://example.org/\n"},
        {"mail link showing its address", "<a href=\"mailto:ann@example.org\">ann@example.org</a>",
         "ann@example.org\n"},
        {"mail link with a name", "<a href=\"MAILTO:ann@example.org\">Ann</a>",
         "Ann <ann@example.org>\n"},
        {"image link without text",
         "<p><a href=\"https://example.org/\"><img src=\"x.png\"></a></p>",
         "https://example.org/\n"},
        {"nested markup in the text", "<a href=\"http://e.example/\"><b>bold</b> link</a> after",
         "bold link <http://e.example/> after\n"},
        {"in-page and script links add nothing",
         "<a href=\"#top\">Top</a> <a href=\"javascript:go()\">Go</a> <a name=\"x\">anchor</a>",
         "Top Go anchor\n"},
        {"address with a line break", "<a href=\" http://e.example/\n?x \">here</a>",
         "here <http://e.example/ ?x>\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HtmlToText(c.html), c.text) << c.name;
}

TEST(HtmlToText, RecoversFromMalformedMarkup) {
    struct Case {
        const char* name;
        const char* html;
        const char* text;
    };
    const Case cases[] = {
        {"unclosed tags", "<p>One<p>Two<div>Three", "One\nTwo\nThree\n"},
        {"stray closing tags", "</b>a</i></p>b", "a\nb\n"},
        {"unknown entity left as it stands", "<p>a &bogus; b</p>", "a &bogus; b\n"},
        {"bare ampersand and angle", "<p>fish & chips < 5</p>", "fish & chips < 5\n"},
        {"tag cut off at the end", "<p>text</p><a href=\"x", "text\n"},
        {"unterminated comment", "<p>seen</p><!-- never closed <p>hidden</p>", "seen\n"},
        {"unterminated script", "<p>seen</p><script>if (a < b) {", "seen\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HtmlToText(c.html), c.text) << c.name;
}

TEST(HtmlToText, SurvivesDeepAndLongDocuments) {
    std::string deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<div>";
    deep += "core";
    EXPECT_NE(HtmlToText(deep).find("core"), std::string::npos);

    std::string longer;
    for (int i = 0; i < 20000; ++i)
        longer += "<p>line &amp; more</p>";
    const std::string text = HtmlToText(longer);
    EXPECT_EQ(text.size(), 20000u * std::string("line & more\n").size());
}

}  // namespace
}  // namespace mail

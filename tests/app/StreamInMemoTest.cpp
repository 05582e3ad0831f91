#include "app/Main.h"
#include "net/HttpProt.h"
#include "platform/TextCodec.h"
#include "tests/support/TestSupport.h"

#include <QPlainTextEdit>

// The memo must hold exactly the lines the page's bytes cut into, however the
// line ends fall, and a page added to a memo that holds one goes below it.
TEST(StreamInMemoTest, LinesAsTheBytesCutThem)
{
    const struct {
        const char *name;
        std::string bytes;
    } rows[] = {
        {"one line without end", "abc"},
        {"CR LF at the end", "abc\r\n"},
        {"two line ends at the end", "a\r\n\r\n"},
        {"lone CR at the end", "a\r"},
        {"LF then CR", "a\n\rb"},
        {"CR CR LF", "a\r\r\nb"},
        {"only a line end", "\r\n"},
        {"only blank lines", "\n\n\n"},
        {"NUL is data", std::string("a\0b\r\nc", 6)},
        {"high bytes", "\x80\xE8\xFF\r\n\x9F"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        TMemoryStream stream;
        stream.Write(row.bytes.data(), int(row.bytes.size()));
        QStringList expected;
        for (const QByteArray &line : SplitByteLines(QByteArray::fromStdString(row.bytes)))
            expected << DecodeAnsi(line);

        QPlainTextEdit memo;
        TfrmMain::StreamInMemo(&memo, stream);
        EXPECT_EQ(memo.toPlainText(), expected.join('\n'));

        // A memo of one empty line cannot be told from an empty one.
        if (expected == QStringList{QString()})
            continue;
        TfrmMain::StreamInMemo(&memo, stream);
        EXPECT_EQ(memo.toPlainText(), (expected + expected).join('\n'));
    }
}

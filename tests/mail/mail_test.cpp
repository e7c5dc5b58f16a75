// Tests of relabelling: labels and encoded words in their spellings, boundaries, nesting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../convert/test_files.h"
#include "convert.h"
#include "mail.h"

namespace {

const std::string FROM = "From kim@example.kr Mon Sep 23 10:00:00 1996\n";
// 0x3021 0x3022 in ISO-2022-KR, the designator first: EUC-KR B0A1 B0A2.
const std::string KR = "\x1b$)C\x0e\x30\x21\x30\x22\x0f";
const std::string EUC = "\xb0\xa1\xb0\xa2";

struct Case {
    const char *what;
    std::string mail;      // after the "From " line
    std::string expected;  // likewise; LF stands for the platform's line end
    long labels;
};

void ExpectRelabelled(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        ResetDecoder();
        long labels = 0;
        EXPECT_EQ(RelabelMail(FROM + c.mail, &labels), Lines(FROM + c.expected)) << c.what;
        EXPECT_EQ(labels, c.labels) << c.what;
    }
}

TEST(Relabel, ChangesCharsetLabelsOfTextTheDecoderConverts)
{
    const std::string labelOnly = "Content-Type: text/plain; charset=ISO-2022-KR\n";
    const std::string eucOnly = "Content-Type: text/plain; charset=EUC-KR\n";
    ExpectRelabelled({
        {"plain label", "Content-Type: text/plain; charset=ISO-2022-KR\n\n" + KR + "\n",
         "Content-Type: text/plain; charset=EUC-KR\n\n" + EUC + "\n", 1},
        {"a text that ends in a lone CR", "Content-Type: text/plain; charset=ISO-2022-KR\n\n" + KR + "\r",
         "Content-Type: text/plain; charset=EUC-KR\n\n" + EUC + "\r", 1},
        {"quoted, lower case, 7bit", "Content-Type: text/plain; charset=\"iso-2022-kr\"\nContent-Transfer-Encoding: 7BIT\n\nx\n",
         "Content-Type: text/plain; charset=\"EUC-KR\"\nContent-Transfer-Encoding: 8bit\n\nx\n", 1},
        {"alias on a folded line, comment kept", "Content-type: text/plain;\r\n\tCharSet=csISO2022KR (old)\r\n\r\nx\r\n",
         "Content-type: text/plain;\n\tCharSet=EUC-KR (old)\n\nx\n", 1},
        {"the first of two types counts; 8bit", "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: 8bit\n"
         "Content-Type: image/x-kr\n\n" + KR + "\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: 8bit\nContent-Type: image/x-kr\n\n" + EUC + "\n", 1},
        {"other names stay", "X-Content-Type: text/plain; charset=ISO-2022-KR\nContent-Type: text/plain; format=ISO-2022-KR; charset=ISO-2022-KR-2\n\nx\n",
         "X-Content-Type: text/plain; charset=ISO-2022-KR\nContent-Type: text/plain; format=ISO-2022-KR; charset=ISO-2022-KR-2\n\nx\n", 0},
        {"unknown transfer encoding stays", "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: x-uuencode\n\nx\n",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: x-uuencode\n\nx\n", 0},
        {"base64 that is not base64 stays", "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\nGyQpQ\n",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\nGyQpQ\n", 0},
        // A browser takes an HTML text's charset from a <meta> in its first 1,024 bytes.
        {"HTML, its <meta> charsets renamed in its first 1,024 bytes",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/html; charset=ISO-2022-KR\n\n"
         "<html><META charset='iso-2022-kr'><meta http-equiv=\"Content-Type\"\n content=\"text/html; charset=csISO2022KR\">" +
             KR + "\n" + std::string(1024, 'x') + "<meta charset=iso-2022-kr>\n--b\n"
             "Content-Type: text/html; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\n" +
             EncodeBase64("<meta charset=\"ISO-2022-KR\">\x1b$)C\x0e\x30\x21\x0f") + "--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/html; charset=EUC-KR\n\n"
         "<html><META charset='EUC-KR'><meta http-equiv=\"Content-Type\"\n content=\"text/html; charset=EUC-KR\">" +
             EUC + "\n" + std::string(1024, 'x') + "<meta charset=iso-2022-kr>\n--b\n"
             "Content-Type: text/html; charset=EUC-KR\nContent-Transfer-Encoding: base64\n\n" +
             EncodeBase64("<meta charset=\"EUC-KR\">\xb0\xa1") + "--b--\n", 5},
        // RFC 2045, 6.7 and 6.8: an "=" that starts nothing is kept, and characters outside
        // base64's alphabet are ignored, as readers do.
        {"a stray = in quoted-printable, a stray character in base64",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + labelOnly + "Content-Transfer-Encoding: quoted-printable\n\n"
         "=1B$)C=0E0!=0F a=zz=4\n--b\n" + labelOnly + "Content-Transfer-Encoding: base64\n\nGyQp!Qw4w*IQ8=\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + eucOnly + "Content-Transfer-Encoding: quoted-printable\n\n"
         "=B0=A1 a=3Dzz=3D4\n--b\n" + eucOnly + "Content-Transfer-Encoding: base64\n\nsKE=\n--b--\n", 2},
        {"base64 body converted, blank line before the next mail kept",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\nGyQpQw4wITAiDw==\n\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: base64\n\nsKGwog==\n\n", 1},
        {"quoted-printable body converted", "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C=0E0!0\"=0F=\n ok\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=B0=A1=B0=A2 ok\n", 1},
        // Quoted-printable writes "From " as "=46rom ": no mail starts there, and the line goes.
        {"quoted-printable: a designator line before From", "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C\nFrom x\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=46rom x\n", 1},
        {"quoted-printable keeps its literals, = encoded",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C=0E0!=0F ~=3D!\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=B0=A1 ~=3D!\n", 1},
        {"a field whose name only begins like it", "Content-Typeface: text/plain; charset=ISO-2022-KR\n\nx\n",
         "Content-Typeface: text/plain; charset=ISO-2022-KR\n\nx\n", 0},
        {"Content-Length follows the body", "Content-Length: 11\nContent-Type: text/plain; charset=ISO-2022-KR\n\n" + KR + "\n",
         "Content-Length: " + std::to_string(EUC.size() + Lines("\n").size()) + "\nContent-Type: text/plain; charset=EUC-KR\n\n" + EUC + "\n", 1},
        {"a wrong Content-Length comes out right", "Content-Length: 99\nContent-Type: text/plain; charset=ISO-2022-KR\n\n" + KR + "\n",
         "Content-Length: " + std::to_string(EUC.size() + Lines("\n").size()) + "\nContent-Type: text/plain; charset=EUC-KR\n\n" + EUC + "\n", 1},
        // The empty line before the next mail parts the two; it is no byte of the body.
        {"Content-Length of a CR LF mail before another",
         "Content-Length: 6\r\n\r\nbody\r\n\r\n" + FROM + "\r\n",
         "Content-Length: " + std::to_string(Lines("body\n").size()) + "\n\nbody\n\n" + FROM + "\n", 0},
        {"Content-Length: a designator line goes, a line of Korean stays",
         "Content-Length: 12\r\nContent-Type: text/plain; charset=ISO-2022-KR\r\n\r\n\x1b$)C\r\n\x0e\x30\x21\x0f\r\n\r\n" + FROM + "\r\n",
         "Content-Length: " + std::to_string(Lines("\xb0\xa1\n").size()) +
             "\nContent-Type: text/plain; charset=EUC-KR\n\n\xb0\xa1\n\n" + FROM + "\n", 1},
        // mutt checks a Content-Length against what follows the body: the empty line that
        // closes the folder after its last mail is the folder's.
        {"Content-Length of the folder's last mail, before the empty line that closes it",
         "Content-Length: 12\nContent-Type: text/plain; charset=ISO-2022-KR\n\n" + KR + "\n\n",
         "Content-Length: " + std::to_string(EUC.size() + Lines("\n").size()) + "\nContent-Type: text/plain; charset=EUC-KR\n\n" +
             EUC + "\n\n", 1},
        // Spellings that name ISO-2022-KR to readers all the same; a type with no subtype is
        // text/plain to them.
        {"RFC 2231's extended value", "Content-Type: text/plain; charset*=us-ascii''ISO-2022-KR\n\n" + KR + "\n",
         "Content-Type: text/plain; charset*=us-ascii''EUC-KR\n\n" + EUC + "\n", 1},
        {"a quoted pair", "Content-Type: text/plain; charset=\"ISO-2022\\-KR\"\n\n" + KR + "\n",
         "Content-Type: text/plain; charset=\"EUC-KR\"\n\n" + EUC + "\n", 1},
        {"a type with no subtype", "Content-Type: text; charset=ISO-2022-KR\n\n" + KR + "\n",
         "Content-Type: text; charset=EUC-KR\n\n" + EUC + "\n", 1},
        // Readers take the first charset; those after it are renamed too where the body is
        // converted, and none where the first leaves it as it is.
        {"two charsets", "Content-Type: text/plain; charset=ISO-2022-KR; charset=csISO2022KR\n\nx\n",
         "Content-Type: text/plain; charset=EUC-KR; charset=EUC-KR\n\nx\n", 2},
        // Python's email takes the first Content-Type, mutt the last: each is labelled.
        {"two Content-Types, mutt reading the last: every one renamed, or labelled",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + labelOnly + "Content-type: text/plain; charset=iso-2022-kr\n\n" +
             KR + " abc\n--b\nContent-Type: text/plain\nContent-Type: text/plain; charset=us-ascii\n\n" + KR + "\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + eucOnly + "Content-type: text/plain; charset=EUC-KR\n\n" +
             EUC + " abc\n--b\nContent-Type: text/plain; charset=EUC-KR\nContent-Type: text/plain; charset=EUC-KR\n\n" + EUC +
             "\n--b--\n", 4},
        {"two charsets, the first another", "Content-Type: text/plain; charset=us-ascii; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\nGyQpQw4wIQ8=\n",
         "Content-Type: text/plain; charset=us-ascii; charset=ISO-2022-KR\nContent-Transfer-Encoding: base64\n\nGyQpQw4wIQ8=\n", 0},
        {"quoted-printable that ends in a soft line break",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C=0E0!=0F=\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=B0=A1=\n", 1},
        // A part whose bytes the decoding changes is labelled EUC-KR whatever it said: a
        // label added where there was none, others renamed; 7bit, which no byte over 127 is,
        // becomes 8bit.  One the decoding leaves alone keeps its labels.
        {"ISO-2022-KR with no label", "Subject: x\n\n" + KR + "\n",
         "Subject: x\nContent-Type: text/plain; charset=EUC-KR\nMIME-Version: 1.0\n\n" + EUC + "\n", 1},
        {"ISO-2022-KR under other labels, in parts",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n\n" + KR + "\n--b\nContent-Type: text/plain; charset=us-ascii; "
         "charset=ISO-2022-KR\n\n" + KR + "\n--b\nContent-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: 7bit\n\n" +
             KR + "\n--b\nContent-Type: text/plain (old)\n\n" + KR + "\n--b\nContent-Type: text/plain; charset=us-ascii\n"
             "Content-Transfer-Encoding: 7bit\n\nplain\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain; charset=EUC-KR\n\n" + EUC +
             "\n--b\nContent-Type: text/plain; charset=EUC-KR; charset=EUC-KR\n\n" + EUC +
             "\n--b\nContent-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: 8bit\n\n" + EUC +
             "\n--b\nContent-Type: text/plain (old); charset=EUC-KR\n\n" + EUC + "\n--b\nContent-Type: text/plain; charset=us-ascii\n"
             "Content-Transfer-Encoding: 7bit\n\nplain\n--b--\n", 4},
        // Labelled ISO-2022-KR, a text is read so from its first byte, as iconv reads it,
        // though its designator stood in a part before.
        {"SO and SI with no designator, as they stand and in quoted-printable",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + labelOnly + "\n" + KR + "\n--b\n" + labelOnly + "\n\x0e\x30\x21\x0f\n--b\n" +
             labelOnly + "Content-Transfer-Encoding: quoted-printable\n\n=0E0!=0F\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + eucOnly + "\n" + EUC + "\n--b\n" + eucOnly + "\n\xb0\xa1\n--b\n" +
             eucOnly + "Content-Transfer-Encoding: quoted-printable\n\n=B0=A1\n--b--\n", 3},
        // A line that decoding makes a "From " line, after an empty line, would start a mail:
        // it is quoted as mbox writers quote one, and a line of only the designator before
        // one keeps its line end, not bytes that show under the new label.
        {"a designator line before From", "Content-Type: text/plain; charset=ISO-2022-KR\n\nx\n\x1b$)C\nFrom the desk\n",
         "Content-Type: text/plain; charset=EUC-KR\n\nx\n\n>From the desk\n", 1},
        {"a designator, or SO SI, before From on its line",
         "Content-Type: text/plain; charset=ISO-2022-KR\n\nx\n\n\x1b$)CFrom Seoul\n\n\x0e\x0f" "From y\n\x0e\x0f\x0e" "From z\n",
         "Content-Type: text/plain; charset=EUC-KR\n\nx\n\n>From Seoul\n\n>From y\n\xc6\xf2\xef\xed \xfa\n", 1},
        {"quoted-printable whose encoded line end comes before its closing soft line break",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C=0E0!=0F=0D=0A=\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=B0=A1=0D\n=\n", 1},
        {"quoted-printable: no line after a soft line break starts From",
         "Content-Type: text/plain; charset=ISO-2022-KR\nContent-Transfer-Encoding: quoted-printable\n\n=1B$)C=0E0!=0F" +
             std::string(69, 'x') + "=46rom y\n",
         "Content-Type: text/plain; charset=EUC-KR\nContent-Transfer-Encoding: quoted-printable\n\n=B0=A1" +
             std::string(69, 'x') + "=\n=46rom y\n", 1},
    });
}

TEST(Relabel, RewritesEncodedWordsAsEucKrWords)
{
    ExpectRelabelled({
        {"B", "Subject: Re: =?ISO-2022-KR?B?GyQpQw4wITAiDw==?= ok\n\n", "Subject: Re: =?EUC-KR?B?sKGwog==?= ok\n\n", 1},
        {"Q, in From", "From: =?iso-2022-kr?q?=1B$)C=0E0!0\"=0F_Kim?= <k@example.kr>\n\n",
         "From: =?EUC-KR?Q?=B0=A1=B0=A2_Kim?= <k@example.kr>\n\n", 1},
        {"a folded run is one text: the second word has no designator",
         "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n =?ISO-2022-KR?Q?=0E0\"=0F?=\n\n", "Subject: =?EUC-KR?B?sKGwog==?=\n\n", 2},
        // The address after the words would take the line past 76: the field folds before
        // them, and what reads the field reads the same.
        {"a fold keeps the line within RFC 2047's limit",
         "From: =?ISO-2022-KR?Q?=1B$)C=0E=3D=66=35=5B=41=4E=36=57=32=5F=0F_=0E=33=57=35=46=0F?= <kim@example.kr>\n\n",
         "From:\n =?EUC-KR?Q?=BD=E6=B5=DB=C1=CE=B6=D7=B2=DF_=B3=D7=B5=C6?= <kim@example.kr>\n\n", 1},
        {"a language after the name; words apart are two texts",
         "Subject: =?ISO-2022-KR*ko?B?GyQpQw4wIQ8=?= and =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n\n",
         "Subject: =?EUC-KR?B?sKE=?= and =?EUC-KR?B?sKE=?=\n\n", 2},
        {"a name that only begins like it", "Subject: =?ISO-2022-KRX?B?GyQpQw4wIQ8=?=\n\n",
         "Subject: =?ISO-2022-KRX?B?GyQpQw4wIQ8=?=\n\n", 0},
        {"no white space between words", "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?==?ISO-2022-KR?Q?=0E0\"=0F?=\n\n",
         "Subject: =?EUC-KR?B?sKGwog==?=\n\n", 2},
        // RFC 2047 wants white space between a word and the text before it, but Python's
        // email decodes a word after any character ("a=" and the word's text here): so it is
        // renamed, as where it stands apart.
        {"a word right after \"=\"", "Subject: a==?ISO-2022-KR?B?GyQpQw4wIQ8=?=\n\n", "Subject: a==?EUC-KR?B?sKE=?=\n\n", 1},
        {"a TAB between words", "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\t=?ISO-2022-KR?Q?=0E0\"=0F?=\n\n",
         "Subject: =?EUC-KR?B?sKGwog==?=\n\n", 2},
        // Folded before the words the line would still be 77 characters: it folds after them.
        {"a long word after the words",
         "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?= " + std::string(58, 'w') + "\n\n",
         "Subject: =?EUC-KR?B?sKE=?=\n " + std::string(58, 'w') + "\n\n", 1},
        // RFC 2231's extended values, a file name in sections or whole, are rewritten as
        // encoded words are; the first section holds the whole and the others nothing.
        {"a file name in RFC 2231's extended values",
         "Content-Type: application/octet-stream; name*=iso-2022-kr''%1B%24%29C%0E0%21%0F.txt\n"
         "Content-Disposition: attachment;\n filename*0*=ISO-2022-KR'ko'%1B%24%29C%0E0;\n filename*1*=%21%0F%20a.txt;"
         " filename*2=\"b\"\n\n",
         "Content-Type: application/octet-stream; name*=EUC-KR''%B0%A1.txt\n"
         "Content-Disposition: attachment;\n filename*0*=EUC-KR'ko'%B0%A1%20a.txtb;\n filename*1*=; filename*2=\"\"\n\n", 2},
        // Readers join sections by their numbers, wherever they stand, and take an octet
        // encoded at the very end too.
        {"RFC 2231's sections out of order, the last octet encoded",
         "Content-Disposition: attachment; filename*1*=%21%0F.tx%74; filename*0*=ISO-2022-KR''%1B%24%29C%0E0\n\n",
         "Content-Disposition: attachment; filename*1*=; filename*0*=EUC-KR''%B0%A1.txt\n\n", 1},
        {"broken or foreign words stay", "Subject: =?ISO-2022-KR?B?*?= =?EUC-KR?B?sKE=?= =?ISO-2022-KR?X?a?=\n\n",
         "Subject: =?ISO-2022-KR?B?*?= =?EUC-KR?B?sKE=?= =?ISO-2022-KR?X?a?=\n\n", 0},
    });

    // A long text comes back as several words, none of them split inside a character and
    // every line within RFC 2047's 76 characters; GMime joins the text of neighbouring
    // words before decoding, so no word but the last ends in padding.
    std::string spaced, hangul;
    for (int i = 0; i < 60; ++i) {
        spaced += "\xb0\xa1 ";
        hangul += "\xb0\xa1";
    }
    for (const std::string &text : {spaced, hangul}) {
        std::string folded = EncodeWords(text, 'B', 9);
        std::size_t start = 0;
        for (std::size_t lf; (lf = folded.find('\n', start)) != std::string::npos; start = lf + 1)
            EXPECT_LE(lf - start + (start == 0 ? 9 : 0), 76u) << folded;
        EXPECT_LE(folded.size() - start, 76u);
        EXPECT_GE(start, 1u);
        std::string back;
        for (std::size_t w = 0; (w = folded.find("?B?", w)) != std::string::npos; w += 3) {
            std::string word;
            ASSERT_TRUE(DecodeBase64(folded.substr(w + 3, folded.find("?=", w) - w - 3), word));
            std::size_t high = 0;
            for (char b : word)
                high += static_cast<unsigned char>(b) >= 0x80;
            EXPECT_EQ(high % 2, 0u) << "a word ends inside a character";
            bool last = folded.find("?B?", w + 3) == std::string::npos;
            EXPECT_TRUE(last || word.size() % 3 == 0) << "GMime reads no word after one that ends in padding: " << folded;
            back += word;
        }
        EXPECT_EQ(back, text);
    }
}

TEST(Relabel, FindsPartsBetweenBoundariesAndInForwardedMail)
{
    const std::string label = "Content-Type: text/plain; charset=ISO-2022-KR\n\n";
    const std::string euc = "Content-Type: text/plain; charset=EUC-KR\n\n";
    // Longer than one read of the folder (64 KiB): a line's CR LF at the read's edge, and
    // parts that are decoded and encoded again in slices.
    const std::string wide(65535, 'x');
    std::string iso = "\x1b$)C\n", eucText;
    for (int i = 0; i < 4000; ++i) {
        iso += "\x0e\x30\x21\x30\x22\x0f line " + std::to_string(i) + "\n";
        eucText += EUC + " line " + std::to_string(i) + "\n";
    }
    const std::string b64 = "Content-Transfer-Encoding: base64\n\n";
    const std::string qp = "Content-Transfer-Encoding: quoted-printable\n\n";
    std::string b64Euc = EncodeBase64(eucText), qpEuc = EncodeQuotedPrintable(eucText);
    b64Euc.pop_back();
    qpEuc.pop_back();
    const std::string labelOnly = "Content-Type: text/plain; charset=ISO-2022-KR\n";
    const std::string eucOnly = "Content-Type: text/plain; charset=EUC-KR\n";
    // A designator that soft line breaks cut into three slices of 57 KiB, the middle one
    // decoding to its "$" alone.
    std::string softBreaks;
    for (int i = 0; i < 57 * 1024 / 2; ++i)
        softBreaks += "=\n";
    const std::string slicedDesignator = softBreaks + "=1B=\n$=\n" + softBreaks + ")C";
    // A soft line break whose LF is the first byte of the next slice.
    std::string edge = std::string(75, 'x') + "=\n", edgeText = std::string(75, 'x');
    while (edge.size() < 57 * 1024 - 75) {
        edge += std::string(74, 'x') + "=\n";
        edgeText += std::string(74, 'x');
    }
    edge += std::string(74, 'x') + "=\n=1B$)C=0E0!=0F\n";
    std::string edgeEuc = EncodeQuotedPrintable(edgeText + std::string(74, 'x') + "\xb0\xa1");
    // A header longer than any a mail program writes: what its labels say is not known.
    const std::string longField = "X-Long: " + std::string(MAX_HEADER, 'a') + "\n";
    // More "From " lines in a text than mails may nest.
    std::string manyFromLines, manyFromLinesEuc;
    for (int i = 0; i <= MAX_NESTING; ++i) {
        manyFromLines += "From me\n\n\x0e\x30\x21\x0f\n";
        manyFromLinesEuc += "From me\n\n\xb0\xa1\n";
    }
    const std::string cl2Body = KR + "\n\n" + FROM + label + "\x0e\x30\x22\x0f\n";
    const std::string cl2Euc = EUC + "\n\n" + FROM + euc + "\xb0\xa2\n";
    ExpectRelabelled({
        {"a line longer than a read, its CR LF at the read's edge",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: image/x-kr\n\n" + wide + "\r\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: image/x-kr\n\n" + wide + "\n--b--\n", 0},
        {"base64 and quoted-printable parts longer than a slice",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + labelOnly + b64 + EncodeBase64(iso) + "--b\n" +
             labelOnly + qp + EncodeQuotedPrintable(iso) + "\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + eucOnly + b64 + b64Euc + "\n--b\n" + eucOnly + qp +
             qpEuc + "\n\n--b--\n",
         2},
        {"a soft line break at a slice's edge", labelOnly + qp + edge, eucOnly + qp + edgeEuc + "\n", 1},
        {"a designator in three slices of quoted-printable", labelOnly + qp + slicedDesignator + "=0E0!=0F\n",
         eucOnly + qp + "=B0=A1\n", 1},
        // No SO or SI after it to tell that there is something to decode: the designator
        // alone, pieced together from the slices, is taken out.
        {"a designator in three slices, and nothing else to decode", labelOnly + qp + slicedDesignator + "ok\n",
         eucOnly + qp + "ok\n", 1},
        {"a CR LF mail: boundary lines and base64 lines",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + labelOnly + "Content-Transfer-Encoding: base64\r\n\r\n"
         "GyQpQw4w\r\nITAiDw==\r\n--b--\r\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + eucOnly + b64 + "sKGwog==\n--b--\n", 1},
        {"nested boundary that extends its parent's, look-alike line in a body",
         "Content-Type: multipart/mixed; boundary=\"=_x\"\n\n--=_x\nContent-Type: multipart/alternative; boundary==_x_1\n\n"
         "--=_x_1\n" + label + "a\n--=_xyz\n--=_x_1--\n--=_x--\n",
         "Content-Type: multipart/mixed; boundary=\"=_x\"\n\n--=_x\nContent-Type: multipart/alternative; boundary==_x_1\n\n"
         "--=_x_1\n" + euc + "a\n--=_xyz\n--=_x_1--\n--=_x--\n", 1},
        // RFC 2046's transport padding: white space after a boundary.
        {"boundary lines with white space after them",
         "Content-Type: multipart/mixed; boundary=b\n\n--b \n" + label + "a\n--b\t\n" + label + "b\n--b-- \n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b \n" + euc + "a\n--b\t\n" + euc + "b\n--b-- \n", 2},
        {"a boundary that is its parent's and more: no close delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/alternative; boundary=b-1\n\n--b-1\n" +
             label + "a\n--b-1--\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: multipart/alternative; boundary=b-1\n\n--b-1\n" +
             euc + "a\n--b-1--\n--b--\n", 1},
        {"a boundary with white space after it, which readers take off",
         "Content-Type: multipart/mixed; boundary=\"b \t\"\n\n--b\n" + label + "a\n--b--\n",
         "Content-Type: multipart/mixed; boundary=\"b \t\"\n\n--b\n" + euc + "a\n--b--\n", 1},
        {"a boundary in RFC 2231's sections",
         "Content-Type: multipart/mixed; boundary*0=\"=_a\";\n boundary*1=b\n\n--=_ab\n" + label + "a\n--=_ab--\n",
         "Content-Type: multipart/mixed; boundary*0=\"=_a\";\n boundary*1=b\n\n--=_ab\n" + euc + "a\n--=_ab--\n", 1},
        // In a digest a part with no Content-Type is a forwarded mail.
        {"a digest", "Content-Type: multipart/digest; boundary=b\n\n--b\n\nSubject: x\n" + label + "a\n--b--\n",
         "Content-Type: multipart/digest; boundary=b\n\n--b\n\nSubject: x\n" + euc + "a\n--b--\n", 1},
        {"no close delimiter: the last part runs to the end",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + label + "a\n--b\n" + label + "b\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + euc + "a\n--b\n" + euc + "b\n", 2},
        {"after the close delimiter, an epilogue and no part",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + label + "a\n--b--\n" + label + "b\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + euc + "a\n--b--\n" + label + "b\n", 1},
        {"a header too long to read, and its body, kept as they are", longField + label + KR + "\n",
         longField + label + KR + "\n", 0},
        {"forwarded mail", "Content-Type: message/rfc822\n\nSubject: x\n" + label + "a\n",
         "Content-Type: message/rfc822\n\nSubject: x\n" + euc + "a\n", 1},
        {"forwarded mail and its text in binary, which is no encoding",
         "Content-Type: message/rfc822\nContent-Transfer-Encoding: binary\n\nSubject: x\n" + labelOnly +
             "Content-Transfer-Encoding: binary\n\n" + KR + "\n",
         "Content-Type: message/rfc822\nContent-Transfer-Encoding: binary\n\nSubject: x\n" + eucOnly +
             "Content-Transfer-Encoding: binary\n\n" + EUC + "\n", 1},
        {"forwarded news and a mail with UTF-8 fields",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/news\n\n" + label + "a\n"
         "--b\nContent-Type: message/global\n\n" + label + "b\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: message/news\n\n" + euc + "a\n"
         "--b\nContent-Type: message/global\n\n" + euc + "b\n--b--\n", 2},
        // A header's lines are the folder's: a designator line stays before a "From " line,
        // here after the empty line that ends the header before.
        {"forwarded mail, designator line first", "Content-Type: message/rfc822\n\n\x1b$)C\nFrom x\n" + label + "a\n",
         "Content-Type: message/rfc822\n\n\x1b$)C\nFrom x\n" + euc + "a\n", 1},
        // Where no empty line comes before a "From " line, some readers start a mail there, others
        // read on: the lines after it are relabelled as a mail, within the part they stand in.
        {"a From line with no empty line before", label + KR + "\nFrom b\n" + label + "\x0e\x30\x22\x0f\n",
         euc + EUC + "\nFrom b\n" + euc + "\xb0\xa2\n", 2},
        {"a From line with no empty line before, in a part and after the close delimiter",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + label + "a\nFrom x\n" + label + "b\n--b\n" + label + "c\n--b--\n"
         "From y\n" + label + "d\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + euc + "a\nFrom x\n" + euc + "b\n--b\n" + euc + "c\n--b--\n"
         "From y\n" + euc + "d\n", 4},
        // mutt starts a mail only at a "From " line with a date; Python's mailbox at any.
        {"mutt wants a date on a From line: one without, after an empty line, is text, relabelled as the mail Python reads",
         label + KR + "\n\nFrom the desk of Kim\n\x0e\x30\x22\x0f\n" + label + "\x0e\x30\x22\x0f\n",
         euc + EUC + "\n\nFrom the desk of Kim\n\xb0\xa2\n" + euc + "\xb0\xa2\n", 2},
        // mutt takes a Content-Length where a "From " line follows the body it counts (an
        // mboxcl2 folder, whose From lines in bodies are not quoted); Python's mailbox reads
        // a mail at such a line.
        {"mboxcl2, mutt reading by Content-Length: a dated From line in the body it counts is text",
         "Content-Length: " + std::to_string(cl2Body.size()) + "\n" + label + cl2Body + "\n" + FROM + "\nb\n",
         "Content-Length: " + std::to_string(Lines(cl2Euc).size()) + "\n" + euc + cl2Euc + "\n" + FROM + "\nb\n", 2},
        {"mails after From lines, one in base64", label + "a\nFrom b\n" + labelOnly + b64 + "GyQpQw4wIQ8=\nFrom c\n" + label + "c\n",
         euc + "a\nFrom b\n" + eucOnly + b64 + "sKE=\nFrom c\n" + euc + "c\n", 3},
        {"a text of many From lines", label + KR + "\n" + manyFromLines, euc + EUC + "\n" + manyFromLinesEuc, 1},
        // A part that is not text keeps its bytes and its label, CR LF inside it included,
        // but for its own line ends, which become the platform's.
        {"parts that are not text",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/octet-stream; charset=ISO-2022-KR\n"
         "Content-Transfer-Encoding: base64\n\nGyQpQw4wIQ8NCg==\n--b\nContent-Type: image/x-kr; charset=ISO-2022-KR\n\n" +
             KR + "\r\nmore\r\nand more\r\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/octet-stream; charset=ISO-2022-KR\n"
         "Content-Transfer-Encoding: base64\n\nGyQpQw4wIQ8NCg==\n--b\nContent-Type: image/x-kr; charset=ISO-2022-KR\n\n" +
             KR + "\nmore\nand more\n--b--\n",
         0},
        // A designator applies to its own part: the next one, in another encoding, keeps its
        // shift bytes.
        {"a designator stays in its part",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + label + KR + "\n--b\n"
         "Content-Type: text/plain; charset=ISO-2022-CN\n\n\x0e\x30\x21\x0f\n--b--\n",
         "Content-Type: multipart/mixed; boundary=b\n\n--b\n" + euc + EUC + "\n--b\n"
         "Content-Type: text/plain; charset=ISO-2022-CN\n\n\x0e\x30\x21\x0f\n--b--\n",
         1},
    });

    // And to its own mail: the next mail of the folder keeps its shift bytes.
    ResetDecoder();
    long counted = 0;
    (void)RelabelMail(FROM + label + KR + "\n", &counted);
    const std::string utf16 = "Content-Type: text/plain; charset=UTF-16LE\n\n" + std::string("\x0e\x00\x0f\x00\n", 5);
    EXPECT_EQ(RelabelMail(FROM + utf16, &counted), Lines(FROM + utf16));

    // Up to the nesting limit, 1,000 levels as readers read, a part is relabelled; past it
    // everything passes through as it is, and the mail is counted as one that does.
    std::string deep;
    for (int i = 0; i < 1000; ++i)
        deep += "Content-Type: message/rfc822\n\n";
    ASSERT_EQ(MAX_NESTING, 1000);
    for (bool tooDeep : {false, true}) {
        SCOPED_TRACE(tooDeep);
        ResetDecoder();
        std::string folder = FROM + deep + label + "a\n", out;
        CFolderReader reader{std::string_view(folder)};
        CMailSink sink;
        sink.text = &out;
        CFolderCounts counts;
        EXPECT_EQ(RelabelPieces(reader, sink, &counts), 1);
        EXPECT_EQ(out, Lines(FROM + deep + (tooDeep ? label : euc) + "a\n"));
        EXPECT_EQ(counts.labels, tooDeep ? 0 : 1);
        EXPECT_EQ(counts.tooDeep, tooDeep ? 1 : 0);
        deep += "Content-Type: message/rfc822\n\n";
    }
}

// A file that starts with a header field is one mail, with no From line (a saved message,
// a maildir file); one that starts with anything else is text, only decoded.
TEST(Relabel, ReadsAFileOfOneMail)
{
    const std::string label = "Subject: =?ISO-2022-KR?B?GyQpQw4wIQ8=?=\nContent-Type: text/plain; charset=ISO-2022-KR\n\n";
    const std::string relabelled = "Subject: =?EUC-KR?B?sKE=?=\nContent-Type: text/plain; charset=EUC-KR\n\n";
    struct {
        const char *what;
        std::string file, expected;
        long labels, mails;
    } cases[] = {
        // A "From " line after an empty line is the mail's text: no second mail starts there.
        {"a header first line", label + KR + "\n\nFrom kim\n" + KR + "\n", relabelled + EUC + "\n\nFrom kim\n" + EUC + "\n", 2, 1},
        {"a header with CR LF", "X-Mailer: x\r\nContent-Type: text/plain; charset=ISO-2022-KR\r\n\r\n" + KR + "\r\n",
         "X-Mailer: x\nContent-Type: text/plain; charset=EUC-KR\n\n" + EUC + "\n", 1, 1},
        {"a blank first line: text, its labels kept", "\n" + label + KR + "\n", "\n" + label + EUC + "\n", 0, 0},
        {"a first line that is no field", "Dear Kim: hello\n" + KR + "\n", "Dear Kim: hello\n" + EUC + "\n", 0, 0},
        // Some readers start a mail there; no empty line before it, the text goes on to others.
        {"text, then a From line", "Dear Kim\nFrom me\n" + label + KR + "\n", "Dear Kim\nFrom me\n" + relabelled + EUC + "\n", 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ResetDecoder();
        CFolderReader reader{std::string_view(c.file)};
        std::string out;
        CMailSink sink;
        sink.text = &out;
        CFolderCounts counts;
        EXPECT_EQ(RelabelPieces(reader, sink, &counts), 1);
        EXPECT_EQ(out, Lines(c.expected));
        EXPECT_EQ(counts.labels, c.labels);
        EXPECT_EQ(counts.mails, c.mails);
    }
}

TEST(Relabel, SplitsAFolderAtFromLinesAfterEmptyLines)
{
    TestDir dir;
    std::string path = dir.File("Inbox");
    // mutt's separator: a return path or none, a weekday, month, day, time, zones, year.
    WriteFile(path, "junk\nFrom a\nX: 1\n\nFrom here Mon Sep 23 10:00:00 1996\n\nFrom b Tue Sep 24 10:00 KST 1996\r\n"
                    "\r\nbody\r\n\r\nFromage\n\nFrom c\n\nFrom c at x Sep 25 1996\n\r\nFrom Wed Sep 25 10:00:00 1996\n");
    FILE *in = std::fopen(path.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    CFolderReader reader(in);
    std::vector<std::string> pieces;
    while (reader.NextPiece()) {
        std::string piece = reader.IsMail() ? "mail:" : "text:";
        std::string_view run;
        bool lineStart = false;
        while (reader.NextRun(run, lineStart))
            piece.append(run);
        pieces.push_back(piece);
    }
    std::fclose(in);
    EXPECT_EQ(pieces, (std::vector<std::string>{
                          "text:junk\nFrom a\nX: 1\n\n", "mail:From here Mon Sep 23 10:00:00 1996\n\n",
                          "mail:From b Tue Sep 24 10:00 KST 1996\r\n\r\nbody\r\n\r\nFromage\n\nFrom c\n\n"
                          "From c at x Sep 25 1996\n\r\n",
                          "mail:From Wed Sep 25 10:00:00 1996\n"}));
}

}  // namespace

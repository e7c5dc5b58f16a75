// The texts a user sees in each language variant of the program.
#pragma once

#include <string>
#include <vector>

struct UiTexts {
    const wchar_t *language;    // "en" or "ko", as the driver is told
    unsigned short languageId;  // the UI language the system must report for it

    const wchar_t *mainCaption;
    const wchar_t *instruction;       // IDC_STATUS between conversions
    const wchar_t *convertButton;
    const wchar_t *exitButton;
    const wchar_t *aboutButton;
    const wchar_t *converting;        // the hidden texts, in the order of their ids 1004-1007
    const wchar_t *failed;
    const wchar_t *menuAbout;
    const wchar_t *menuConvert;

    const wchar_t *aboutCaption;
    const wchar_t *aboutOk;
    std::vector<std::wstring> aboutTexts;   // the fixed texts of the About box
};

// The start-up messages come from one string table that serves both languages.
const wchar_t REG_OPEN_FAILED_TEXT[] = L"Cannot open Registry Database.";
const wchar_t NO_MAIL_SETUP_TEXT[] = L"Netscape Navigator is not installed, or its mail setup is incorrect.";
// Every message box of the program is captioned with the executable's name.
const wchar_t MESSAGE_CAPTION[] = L"Quorvel";

const UiTexts ENGLISH_TEXTS = {
    L"en", 0x0409,
    L"Quorvel for Netscape Navigator",
    L"Put broken Hangul mails (ISO-2022-kr code) in the Inbox folder of Netscape Mail, and click  [Convert] button.",
    L"&Convert",
    L"E&xit",
    L"&About...",
    L"Converting Inbox folder...",
    L"Cannot convert Inbox folder. Maybe the mail folder is invalid or disk space is not enough.",
    L"&About...",
    L"&Convert",
    L"Quorvel for Netscape",
    L"OK",
    {L"Quorvel for Netscape\n1996/10/30 version",
     L"This proram converts ISO-2022-kr code in Hangul mails received by Netscape Navigator, to Euc-kr (KS C 5601)  Hangul code.",
     L"Clicking [Convert] button, Hangul mails in the Inbox folder are converted."},
};

const UiTexts KOREAN_TEXTS = {
    L"ko", 0x0412,
    L"Netscape Quorvel",
    L"깨진 (ISO-2022-kr 코드) 한글 메일을 Netscape Mail의 Inbox에 넣고 [변환] 버튼을 누르십시오.",
    L"변환(&C)",
    L"종료(&X)",
    L"Netscape Quorvel에 대하여(&A)...",
    L"Inbox 폴더를 변환중입니다...",
    L"Inbox 폴더를 변환할 수 없습니다. 아마도 메일 폴더가 비정상이거나 하드 디스크 에 빈 공간이 없는 것으로 여겨집니다.",
    L"Netscape Quorvel에 대하여(&A)...",
    L"변환(&C)",
    L"Netscape Quorvel에 대하여",
    L"확인",
    {L"Netscape Quorvel 1996/10/30 판",
     L"이 프로그램은 Netscape Mail이 받은 ISO-2022-kr 한글 메일을 Euc-kr (KS C 5601) 코드로 변환해 줍니다.",
     L"[변환] 버튼을 누르면 Inbox 메일 폴더 안의 메일들이 변환됩니다."},
};

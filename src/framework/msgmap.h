// Message maps: tables that bind window messages and command ids to handler methods.
//
// A class that handles messages derives from CCmdTarget (through CWnd or CWinApp), puts
// DECLARE_MESSAGE_MAP() in its declaration and lists its entries in its source file:
//
//     BEGIN_MESSAGE_MAP(CMyDlg, CDialog)
//         ON_WM_PAINT()
//         ON_COMMAND(IDC_GO, OnGo)
//     END_MESSAGE_MAP()
//
// A message is looked up in the class's own entries in the order they are written, then in
// its base class's map, and so on; the first entry that matches handles it. A window gives
// what no entry matches its default processing (CWnd::Default). Each kind of entry below
// names the exact signature of its handler; a handler of another signature does not compile.
#pragma once

#include <windows.h>

#include <type_traits>

class CCmdTarget;

// One entry. nID is the command id for WM_COMMAND entries and 0 for the others.
// pfnCall unpacks the message's parameters for the handler and calls it.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nID;
    LRESULT (*pfnCall)(CCmdTarget *pTarget, WPARAM wParam, LPARAM lParam);
};

// A class's entries, ended by an entry with a null pfnCall, and the way to its base's map.
struct AFX_MSGMAP {
    const AFX_MSGMAP *(*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY *lpEntries;
};

// The root of every class with a message map. Its own map is empty.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;

    // The first entry of this object's maps, in lookup order, for nMessage (and, when
    // nMessage is WM_COMMAND, for command nID); null when there is none.
    const AFX_MSGMAP_ENTRY *FindMessageEntry(UINT nMessage, UINT nID) const;

    // Runs the handler of command nID. Returns FALSE when the maps have none.
    BOOL OnCmdMsg(UINT nID);

protected:
    static const AFX_MSGMAP *GetThisMessageMap();
    virtual const AFX_MSGMAP *GetMessageMap() const;
};

namespace afx_detail {

template <class P> struct Member;
template <class C, class S> struct Member<S C::*> {
    using Class = C;
    using Signature = S;
};

// The handler F of the object p names, called with the message's parameters as S takes them.
template <class S, auto F> LRESULT Call(CCmdTarget *p, WPARAM wParam, LPARAM lParam)
{
    using M = Member<decltype(F)>;
    static_assert(std::is_same_v<typename M::Signature, S>,
                  "this message map entry takes a handler of another signature");
    auto *pObject = static_cast<typename M::Class *>(p);
    if constexpr (std::is_same_v<S, void()>) {
        (pObject->*F)();
        return 0;
    } else if constexpr (std::is_same_v<S, void(UINT, LPARAM)>) {
        (pObject->*F)(static_cast<UINT>(wParam), lParam);
        return 0;
    } else if constexpr (std::is_same_v<S, HCURSOR()>) {
        return reinterpret_cast<LRESULT>((pObject->*F)());
    } else {
        static_assert(!sizeof(S *), "no message map entry calls handlers of this signature");
    }
}

}  // namespace afx_detail

// In the class declaration, last, as its access level is left protected.
#define DECLARE_MESSAGE_MAP()                                                               \
protected:                                                                                  \
    static const AFX_MSGMAP *GetThisMessageMap();                                           \
    const AFX_MSGMAP *GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                              \
    const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); }       \
    const AFX_MSGMAP *theClass::GetThisMessageMap()                                         \
    {                                                                                       \
        using ThisClass [[maybe_unused]] = theClass;                                        \
        using TheBaseClass = baseClass;                                                     \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                                   \
            { 0, 0, nullptr }                                                               \
        };                                                                                  \
        static const AFX_MSGMAP map = { &TheBaseClass::GetThisMessageMap, entries };        \
        return &map;                                                                        \
    }

// WM_COMMAND from a menu item, an accelerator or a button (BN_CLICKED) with the given id.
//   void memberFxn()
// memberFxn may name a base class's handler: ON_COMMAND(ID_HELP, CWinApp::OnHelp).
#define ON_COMMAND(id, memberFxn)                                                           \
    { WM_COMMAND, static_cast<UINT>(id), &afx_detail::Call<void(), &ThisClass::memberFxn> },

// WM_SYSCOMMAND: a system-menu command; nID is the command, lParam the mouse position.
//   void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                                  \
    { WM_SYSCOMMAND, 0, &afx_detail::Call<void(UINT, LPARAM), &ThisClass::OnSysCommand> },

// WM_PAINT.
//   void OnPaint()
#define ON_WM_PAINT()                                                                       \
    { WM_PAINT, 0, &afx_detail::Call<void(), &ThisClass::OnPaint> },

// WM_QUERYDRAGICON: the cursor to show while the minimized window is dragged.
//   HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                               \
    { WM_QUERYDRAGICON, 0, &afx_detail::Call<HCURSOR(), &ThisClass::OnQueryDragIcon> },

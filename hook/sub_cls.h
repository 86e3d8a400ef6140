#pragma once
// Message hook: chosen event types of one object reach an owner before or after
// the object's own processing, with the result passed through as a window
// procedure's would be. Event type numbers stand for message numbers.
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <vector>

namespace wirelens {

using LResult = qintptr;

// An event carrying a message's two parameters and the result its processing
// leaves; the result is what SendMessage() returns.
class MessageEvent : public QEvent {
public:
    MessageEvent(int uMsg, quintptr wParam, qintptr lParam)
        : QEvent(static_cast<QEvent::Type>(uMsg)), wParam(wParam), lParam(lParam) {}
    MessageEvent* clone() const override { return new MessageEvent(*this); }
    quintptr wParam;
    qintptr lParam;
    LResult lResult = 0;
};

// Delivers `event` to `target` synchronously and returns the processing's result.
LResult SendMessage(QObject* target, MessageEvent& event);

class iSubCls {
public:
    virtual ~iSubCls() = default;
    virtual void Despues(LResult& lReturn, QObject* hwnd, int uMsg, quintptr wParam,
                         qintptr lParam) = 0;
    virtual void Antes(LResult& lHandled, LResult& lReturn, QObject* hwnd, int uMsg,
                       quintptr wParam, qintptr lParam) = 0;
};

class cSubCls : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxMessages = 34;
    // Event types are 16-bit; a number outside this range could never arrive.
    static constexpr int kMaxMessageNumber = 65535;

    cSubCls();
    ~cSubCls() override;

    // Registers a message before SubClass. false: the list is full, the number
    // is not an event type, or the instance is already subclassed.
    bool AddMsg(int MsgNum, bool Antes);
    // false (and nothing installed): already subclassed, no window or owner,
    // a window living in another thread, filtered mode with no message
    // registered, or all-messages mode after AddMsg.
    bool SubClass(QObject* hWndSub, iSubCls* Owner, bool AllMsgs);
    // Restores the previous processing; does nothing when not subclassed.
    void UnSubclass();

    bool IsSubclassed() const { return mSubclassed; }
    int MessageCount() const { return static_cast<int>(mMessages.size()); }

protected:
    // The hook itself. An event it answers is consumed (true), with the answer
    // left in MessageEvent::lResult, so the window never processes it twice.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Registration {
        int msg;
        bool antes;
    };
    std::vector<Registration> mMessages;
    bool mAllMsgs = false;
    bool mSubclassed = false;
    QPointer<QObject> mWindow;
    iSubCls* mOwner = nullptr;
};

}  // namespace wirelens

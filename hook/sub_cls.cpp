#include "hook/sub_cls.h"

#include <QCoreApplication>

namespace wirelens {

namespace {

// What the object's own processing answers: the result it left in a
// MessageEvent, or for any other event whether it handled it.
LResult PreviousProcessing(QObject* watched, QEvent* event, const MessageEvent* message) {
    const bool handled = watched->event(event);
    if (message != nullptr) return message->lResult;
    return handled ? 1 : 0;
}

}  // namespace

LResult SendMessage(QObject* target, MessageEvent& event) {
    if (target == nullptr) return 0;
    QCoreApplication::sendEvent(target, &event);
    return event.lResult;
}

cSubCls::cSubCls() = default;

cSubCls::~cSubCls() {
    UnSubclass();
}

bool cSubCls::AddMsg(int MsgNum, bool Antes) {
    if (mSubclassed) return false;
    if (MsgNum < 0 || MsgNum > kMaxMessageNumber) return false;
    if (static_cast<int>(mMessages.size()) >= kMaxMessages) return false;
    mMessages.push_back(Registration{MsgNum, Antes});
    return true;
}

bool cSubCls::SubClass(QObject* hWndSub, iSubCls* Owner, bool AllMsgs) {
    if (mSubclassed || hWndSub == nullptr || Owner == nullptr) return false;
    // Qt refuses filters across threads; say so instead of hooking nothing.
    if (hWndSub->thread() != thread()) return false;
    // All-messages mode ignores the list, so a list given with it is a caller's mistake;
    // filtered mode with an empty list would hook nothing.
    if (AllMsgs != mMessages.empty()) return false;

    mAllMsgs = AllMsgs;
    mWindow = hWndSub;
    mOwner = Owner;
    hWndSub->installEventFilter(this);
    mSubclassed = true;
    return true;
}

void cSubCls::UnSubclass() {
    if (!mSubclassed) return;
    // A window destroyed before us took its filter list with it.
    if (mWindow) mWindow->removeEventFilter(this);
    mWindow = nullptr;
    mOwner = nullptr;
    mMessages.clear();
    mAllMsgs = false;
    mSubclassed = false;
}

bool cSubCls::eventFilter(QObject* watched, QEvent* event) {
    if (!mSubclassed || watched != mWindow.data()) return QObject::eventFilter(watched, event);

    const int uMsg = static_cast<int>(event->type());
    bool antes = false;
    if (!mAllMsgs) {
        const Registration* found = nullptr;
        for (const Registration& registration : mMessages) {
            if (registration.msg == uMsg) {
                found = &registration;
                break;
            }
        }
        if (found == nullptr) return false;  // straight to the object's own processing
        antes = found->antes;
    }

    auto* message = dynamic_cast<MessageEvent*>(event);
    const quintptr wParam = message != nullptr ? message->wParam : 0;
    const qintptr lParam = message != nullptr ? message->lParam : 0;
    // A callback may unsubclass or even delete this instance: nothing below
    // touches a member once a callback has run.
    iSubCls* owner = mOwner;
    const QPointer<QObject> alive(watched);

    if (antes) {
        LResult lHandled = 0;
        LResult lReturn = 0;
        owner->Antes(lHandled, lReturn, watched, uMsg, wParam, lParam);
        // Qt must not deliver to an object that is gone.
        if (!alive) return true;
        // Not handled: the object processes the event as usual and its result
        // stands; the lReturn that Antes set is discarded.
        if (lHandled == 0) return false;
        if (message != nullptr) message->lResult = lReturn;
        return true;
    }

    LResult lReturn = PreviousProcessing(watched, event, message);
    // The object's own processing may destroy it (a deferred delete); there is
    // then no window left to report about.
    if (!alive) return true;
    owner->Despues(lReturn, watched, uMsg, wParam, lParam);
    if (message != nullptr) message->lResult = lReturn;
    return true;
}

}  // namespace wirelens

// The message hook against a window whose own processing is observable: every
// user event it processes is logged, and a MessageEvent gets a chosen result.
#include "hook/sub_cls.h"

#include <QCoreApplication>
#include <QPointer>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wirelens {
namespace {

constexpr int kMsgA = 1025;
constexpr int kMsgB = 1026;
constexpr int kMsgC = 1030;

class Log {
public:
    void Add(std::string entry) { mEntries.push_back(std::move(entry)); }
    const std::vector<std::string>& Entries() const { return mEntries; }

private:
    std::vector<std::string> mEntries;
};

class TestWindow : public QObject {
public:
    explicit TestWindow(Log& log) : mLog(log) {}

    LResult messageResult = 7;   // what processing leaves in a MessageEvent
    bool plainHandled = true;    // what processing answers for any other user event
    int processed = 0;

    bool event(QEvent* event) override {
        if (event->type() < QEvent::User) return QObject::event(event);
        ++processed;
        mLog.Add("window:" + std::to_string(event->type()));
        if (auto* message = dynamic_cast<MessageEvent*>(event)) {
            message->lResult = messageResult;
            return true;
        }
        return plainHandled;
    }

private:
    Log& mLog;
};

struct Call {
    int uMsg;
    QObject* hwnd;
    quintptr wParam;
    qintptr lParam;
    LResult lHandledIn;  // Antes only
    LResult lReturnIn;
};

class TestOwner : public iSubCls {
public:
    explicit TestOwner(Log& log) : mLog(log) {}

    LResult antesHandled = 0;
    LResult antesReturn = 0;
    std::optional<LResult> despuesReplace;
    cSubCls* unsubclassInDespues = nullptr;
    std::vector<Call> antesCalls;
    std::vector<Call> despuesCalls;

    void Despues(LResult& lReturn, QObject* hwnd, int uMsg, quintptr wParam,
                 qintptr lParam) override {
        mLog.Add("despues:" + std::to_string(uMsg));
        despuesCalls.push_back(Call{uMsg, hwnd, wParam, lParam, 0, lReturn});
        if (despuesReplace) lReturn = *despuesReplace;
        if (unsubclassInDespues != nullptr) unsubclassInDespues->UnSubclass();
    }
    void Antes(LResult& lHandled, LResult& lReturn, QObject* hwnd, int uMsg, quintptr wParam,
               qintptr lParam) override {
        mLog.Add("antes:" + std::to_string(uMsg));
        antesCalls.push_back(Call{uMsg, hwnd, wParam, lParam, lHandled, lReturn});
        lHandled = antesHandled;
        lReturn = antesReturn;
    }

private:
    Log& mLog;
};

LResult Send(QObject* target, int uMsg, quintptr wParam = 0, qintptr lParam = 0) {
    MessageEvent event(uMsg, wParam, lParam);
    return SendMessage(target, event);
}

class SubClsTest : public ::testing::Test {
protected:
    Log log;
    TestWindow window{log};
    TestOwner owner{log};
    cSubCls hook;

    void Hook(int msg, bool antes) {
        ASSERT_TRUE(hook.AddMsg(msg, antes));
        ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    }
    using Entries = std::vector<std::string>;
};

TEST_F(SubClsTest, UnregisteredMessageReturnsPreviousResultWithoutCallback) {
    Hook(kMsgA, false);
    window.messageResult = 13;
    EXPECT_EQ(Send(&window, kMsgB), 13);
    EXPECT_EQ(log.Entries(), (Entries{"window:1026"}));
    EXPECT_TRUE(owner.antesCalls.empty());
    EXPECT_TRUE(owner.despuesCalls.empty());
}

TEST_F(SubClsTest, AfterMessageDespuesSeesResultAndItsReplacementIsReturned) {
    Hook(kMsgA, false);
    window.messageResult = 7;
    owner.despuesReplace = 42;
    EXPECT_EQ(Send(&window, kMsgA, 5, -9), 42);
    // Processed exactly once, before the callback.
    EXPECT_EQ(log.Entries(), (Entries{"window:1025", "despues:1025"}));
    ASSERT_EQ(owner.despuesCalls.size(), 1u);
    const Call& call = owner.despuesCalls[0];
    EXPECT_EQ(call.lReturnIn, 7);
    EXPECT_EQ(call.hwnd, &window);
    EXPECT_EQ(call.uMsg, kMsgA);
    EXPECT_EQ(call.wParam, 5u);
    EXPECT_EQ(call.lParam, -9);
    EXPECT_TRUE(owner.antesCalls.empty());
}

TEST_F(SubClsTest, BeforeMessageNotHandledRunsPreviousAndDiscardsAntesReturn) {
    Hook(kMsgA, true);
    window.messageResult = 7;
    owner.antesHandled = 0;
    owner.antesReturn = 99;
    EXPECT_EQ(Send(&window, kMsgA, 1, 2), 7);
    EXPECT_EQ(log.Entries(), (Entries{"antes:1025", "window:1025"}));
    ASSERT_EQ(owner.antesCalls.size(), 1u);
    const Call& call = owner.antesCalls[0];
    EXPECT_EQ(call.lHandledIn, 0);
    EXPECT_EQ(call.lReturnIn, 0);
    EXPECT_EQ(call.hwnd, &window);
    EXPECT_EQ(call.wParam, 1u);
    EXPECT_EQ(call.lParam, 2);
    EXPECT_TRUE(owner.despuesCalls.empty());
}

TEST_F(SubClsTest, BeforeMessageHandledSkipsPreviousAndReturnsAntesReturn) {
    Hook(kMsgA, true);
    owner.antesHandled = -1;
    owner.antesReturn = 99;
    EXPECT_EQ(Send(&window, kMsgA), 99);
    EXPECT_EQ(log.Entries(), (Entries{"antes:1025"}));
    EXPECT_TRUE(owner.despuesCalls.empty());
}

TEST_F(SubClsTest, AntesAndDespuesEachServeTheirOwnMessages) {
    ASSERT_TRUE(hook.AddMsg(kMsgA, true));
    ASSERT_TRUE(hook.AddMsg(kMsgB, false));
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    Send(&window, kMsgA);
    Send(&window, kMsgB);
    Send(&window, kMsgC);
    EXPECT_EQ(log.Entries(), (Entries{"antes:1025", "window:1025", "window:1026",
                                      "despues:1026", "window:1030"}));
}

TEST_F(SubClsTest, AllMessagesModeSendsEveryEventToDespuesAfterProcessing) {
    ASSERT_TRUE(hook.SubClass(&window, &owner, true));
    window.messageResult = 4;
    EXPECT_EQ(Send(&window, kMsgA, 8, 9), 4);
    EXPECT_EQ(Send(&window, kMsgC), 4);
    EXPECT_EQ(log.Entries(),
              (Entries{"window:1025", "despues:1025", "window:1030", "despues:1030"}));
    EXPECT_TRUE(owner.antesCalls.empty());
    EXPECT_EQ(owner.despuesCalls[0].wParam, 8u);
    EXPECT_EQ(owner.despuesCalls[0].lParam, 9);
}

TEST_F(SubClsTest, AllMessagesModeReportsPlainEventHandlingAsZeroOrOne) {
    ASSERT_TRUE(hook.SubClass(&window, &owner, true));
    QEvent plain(static_cast<QEvent::Type>(kMsgC));
    window.plainHandled = true;
    QCoreApplication::sendEvent(&window, &plain);
    window.plainHandled = false;
    QCoreApplication::sendEvent(&window, &plain);
    ASSERT_EQ(owner.despuesCalls.size(), 2u);
    EXPECT_EQ(owner.despuesCalls[0].lReturnIn, 1);
    EXPECT_EQ(owner.despuesCalls[1].lReturnIn, 0);
    // The hook already ran the processing; the window must not see the event again.
    EXPECT_EQ(window.processed, 2);
}

TEST_F(SubClsTest, FirstRegistrationOfANumberDecides) {
    ASSERT_TRUE(hook.AddMsg(kMsgA, false));
    ASSERT_TRUE(hook.AddMsg(kMsgA, true));
    ASSERT_TRUE(hook.AddMsg(kMsgB, true));
    ASSERT_TRUE(hook.AddMsg(kMsgB, false));
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    owner.antesHandled = 1;
    owner.antesReturn = 55;
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_EQ(Send(&window, kMsgB), 55);
    EXPECT_EQ(log.Entries(), (Entries{"window:1025", "despues:1025", "antes:1026"}));
}

TEST_F(SubClsTest, ThirtyFourMessagesFitAndAThirtyFifthIsRefused) {
    for (int i = 0; i < cSubCls::kMaxMessages; ++i) {
        ASSERT_TRUE(hook.AddMsg(kMsgA + i, false)) << "message " << i;
    }
    EXPECT_FALSE(hook.AddMsg(kMsgA + cSubCls::kMaxMessages, false));
    EXPECT_EQ(hook.MessageCount(), cSubCls::kMaxMessages);
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    // The last one registered still works; the refused one is not hooked.
    Send(&window, kMsgA + cSubCls::kMaxMessages - 1);
    Send(&window, kMsgA + cSubCls::kMaxMessages);
    ASSERT_EQ(owner.despuesCalls.size(), 1u);
    EXPECT_EQ(owner.despuesCalls[0].uMsg, kMsgA + cSubCls::kMaxMessages - 1);
}

TEST_F(SubClsTest, AddMsgRefusesNumbersThatAreNoEventTypeAndWhileSubclassed) {
    EXPECT_FALSE(hook.AddMsg(-1, false));
    EXPECT_FALSE(hook.AddMsg(cSubCls::kMaxMessageNumber + 1, false));
    EXPECT_TRUE(hook.AddMsg(cSubCls::kMaxMessageNumber, false));
    // A stray UnSubclass before SubClass keeps the registrations.
    hook.UnSubclass();
    EXPECT_EQ(hook.MessageCount(), 1);
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    EXPECT_FALSE(hook.AddMsg(kMsgB, false));
    Send(&window, kMsgB);
    EXPECT_TRUE(owner.despuesCalls.empty());
}

enum class RefusedCase { AlreadySubclassed, FilteredWithoutMessages, AllMessagesAfterAddMsg,
                         NoWindow, NoOwner };

class SubClassRefusal : public SubClsTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(SubClassRefusal, RefusesAndInstallsNothing) {
    TestWindow other(log);
    QObject* target = &window;
    iSubCls* hookOwner = &owner;
    bool allMsgs = false;
    switch (GetParam()) {
    case RefusedCase::AlreadySubclassed:
        ASSERT_TRUE(hook.SubClass(&window, &owner, true));
        target = &other;
        allMsgs = true;
        break;
    case RefusedCase::FilteredWithoutMessages:
        break;
    case RefusedCase::AllMessagesAfterAddMsg:
        ASSERT_TRUE(hook.AddMsg(kMsgA, false));
        allMsgs = true;
        break;
    case RefusedCase::NoWindow:
        ASSERT_TRUE(hook.AddMsg(kMsgA, false));
        target = nullptr;
        break;
    case RefusedCase::NoOwner:
        ASSERT_TRUE(hook.AddMsg(kMsgA, false));
        hookOwner = nullptr;
        break;
    }
    EXPECT_FALSE(hook.SubClass(target, hookOwner, allMsgs));
    EXPECT_EQ(hook.IsSubclassed(), GetParam() == RefusedCase::AlreadySubclassed);
    owner.despuesCalls.clear();
    Send(&other, kMsgA);
    if (GetParam() != RefusedCase::AlreadySubclassed) Send(&window, kMsgA);
    EXPECT_TRUE(owner.despuesCalls.empty());
}

INSTANTIATE_TEST_SUITE_P(States, SubClassRefusal,
                         ::testing::Values(RefusedCase::AlreadySubclassed,
                                           RefusedCase::FilteredWithoutMessages,
                                           RefusedCase::AllMessagesAfterAddMsg,
                                           RefusedCase::NoWindow, RefusedCase::NoOwner),
                         [](const ::testing::TestParamInfo<RefusedCase>& info) {
                             switch (info.param) {
                             case RefusedCase::AlreadySubclassed: return "AlreadySubclassed";
                             case RefusedCase::FilteredWithoutMessages: return "FilteredWithoutMessages";
                             case RefusedCase::AllMessagesAfterAddMsg: return "AllMessagesAfterAddMsg";
                             case RefusedCase::NoWindow: return "NoWindow";
                             case RefusedCase::NoOwner: return "NoOwner";
                             }
                             return "Unknown";
                         });

TEST_F(SubClsTest, UnSubclassTwiceRestoresPreviousAndDoesNothingTheSecondTime) {
    Hook(kMsgA, false);
    owner.despuesReplace = 42;
    ASSERT_EQ(Send(&window, kMsgA), 42);
    hook.UnSubclass();
    EXPECT_FALSE(hook.IsSubclassed());
    EXPECT_EQ(hook.MessageCount(), 0);
    hook.UnSubclass();
    EXPECT_FALSE(hook.IsSubclassed());
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_EQ(owner.despuesCalls.size(), 1u);
}

TEST_F(SubClsTest, InstanceCanBeReusedAfterUnSubclass) {
    Hook(kMsgA, false);
    hook.UnSubclass();
    // Reuse in all-messages mode is possible because the list was emptied.
    ASSERT_TRUE(hook.SubClass(&window, &owner, true));
    Send(&window, kMsgC);
    hook.UnSubclass();
    ASSERT_TRUE(hook.AddMsg(kMsgB, true));
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    Send(&window, kMsgA);
    Send(&window, kMsgB);
    EXPECT_EQ(log.Entries(), (Entries{"window:1030", "despues:1030", "window:1025",
                                      "antes:1026", "window:1026"}));
}

TEST_F(SubClsTest, DestructionRestoresPreviousProcessing) {
    auto hooked = std::make_unique<cSubCls>();
    ASSERT_TRUE(hooked->AddMsg(kMsgA, true));
    ASSERT_TRUE(hooked->SubClass(&window, &owner, false));
    owner.antesHandled = 1;
    owner.antesReturn = 99;
    ASSERT_EQ(Send(&window, kMsgA), 99);
    hooked.reset();
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_EQ(owner.antesCalls.size(), 1u);
    EXPECT_EQ(window.processed, 1);
}

TEST_F(SubClsTest, WindowDestroyedFirstLeavesNothingDangling) {
    auto doomed = std::make_unique<TestWindow>(log);
    ASSERT_TRUE(hook.AddMsg(kMsgA, false));
    ASSERT_TRUE(hook.SubClass(doomed.get(), &owner, false));
    doomed.reset();
    hook.UnSubclass();
    EXPECT_FALSE(hook.IsSubclassed());
    // Usable again on another window.
    ASSERT_TRUE(hook.AddMsg(kMsgA, false));
    ASSERT_TRUE(hook.SubClass(&window, &owner, false));
    Send(&window, kMsgA);
    EXPECT_EQ(owner.despuesCalls.size(), 1u);
}

TEST_F(SubClsTest, WindowDeletedByItsOwnProcessingIsNotReported) {
    auto* doomed = new TestWindow(log);
    const QPointer<TestWindow> guard(doomed);
    ASSERT_TRUE(hook.SubClass(doomed, &owner, true));
    doomed->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_TRUE(guard.isNull());
    for (const Call& call : owner.despuesCalls) EXPECT_NE(call.uMsg, QEvent::DeferredDelete);
    hook.UnSubclass();
    EXPECT_FALSE(hook.IsSubclassed());
}

TEST_F(SubClsTest, DespuesMayUnsubclassDuringTheCallback) {
    Hook(kMsgA, false);
    owner.unsubclassInDespues = &hook;
    owner.despuesReplace = 42;
    EXPECT_EQ(Send(&window, kMsgA), 42);
    EXPECT_FALSE(hook.IsSubclassed());
    EXPECT_EQ(Send(&window, kMsgA), 7);
    EXPECT_EQ(owner.despuesCalls.size(), 1u);
}

TEST_F(SubClsTest, PostedMessageReachesDespues) {
    Hook(kMsgA, false);
    QCoreApplication::postEvent(&window, new MessageEvent(kMsgA, 3, 1));
    EXPECT_TRUE(owner.despuesCalls.empty());
    QCoreApplication::sendPostedEvents(&window, kMsgA);
    ASSERT_EQ(owner.despuesCalls.size(), 1u);
    EXPECT_EQ(owner.despuesCalls[0].wParam, 3u);
    EXPECT_EQ(owner.despuesCalls[0].lParam, 1);
    EXPECT_EQ(owner.despuesCalls[0].lReturnIn, 7);
    EXPECT_EQ(window.processed, 1);
}

}  // namespace
}  // namespace wirelens

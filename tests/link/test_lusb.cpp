// The link session against a scripted owner: one request in flight, queueing,
// reassembly in both modes, time-out notices, keep-alive, and closing and destroying a
// session in every awkward moment.
#include "link/Lusb.h"

#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace trm;
using namespace std::chrono_literals;

namespace {

constexpr int kDeadline = 10000; // ms; conditions normally hold within milliseconds

Bytes frameFor(std::uint8_t command) {
    return EncodeCommand(CM_QZR_CMD(1, command), FrameMode::Framed);
}

Bytes replyFor(std::uint8_t command, const Bytes& payload = {}) {
    return EncodeLinkFrame(kUnitAddress, kProgramAddress, command, payload);
}

// The session's owner: records writes (worker thread) and the messages it gets (GUI
// thread); optionally answers each write like a unit would.
class Owner : public QObject, public LinkOwner {
public:
    QObject* linkWindow() override { return this; }

    void WriteReport(const std::uint8_t* data, int length) override {
        Bytes w(data, data + length);
        {
            std::lock_guard lock(m);
            writes.push_back(w);
        }
        if (responder) {
            Bytes r = responder(w);
            if (!r.empty()) {
                QMetaObject::invokeMethod(
                    this, [this, r] { feed(r); }, Qt::QueuedConnection);
            }
        }
    }

    void feed(const Bytes& r) {
        if (session != nullptr) {
            session->Receive(r.data(), static_cast<int>(r.size()));
        }
    }

    bool event(QEvent* e) override {
        if (e->type() == WM_LINK_REPLY) {
            auto* msg = static_cast<LinkMessage*>(e);
            replies.push_back(*msg->reply());
            elapsed.push_back(static_cast<std::uint32_t>(msg->lParam));
            if (onReply) {
                onReply(*msg->reply());
            }
            return true;
        }
        if (e->type() == WM_LINK_NOTIFY) {
            auto* msg = static_cast<LinkMessage*>(e);
            notifies.push_back({static_cast<int>(msg->wParam), static_cast<int>(msg->lParam)});
            notifyTimes.push_back(std::chrono::steady_clock::now());
            return true;
        }
        return QObject::event(e);
    }

    std::size_t writeCount() {
        std::lock_guard lock(m);
        return writes.size();
    }
    Bytes write(std::size_t i) {
        std::lock_guard lock(m);
        return writes.at(i);
    }
    int notifyCount(int code) const {
        int n = 0;
        for (auto& [c, a] : notifies) {
            n += c == code;
        }
        return n;
    }

    std::mutex m;
    std::vector<Bytes> writes;
    std::function<Bytes(const Bytes&)> responder; // worker thread
    std::function<void(const Bytes&)> onReply;    // GUI thread
    std::vector<Bytes> replies;
    std::vector<std::uint32_t> elapsed;
    std::vector<std::pair<int, int>> notifies;
    std::vector<std::chrono::steady_clock::time_point> notifyTimes;
    LUsbProc* session = nullptr;
};

// Echoes a reply frame with the request's command code, or 64 bytes for a raw request.
Bytes echo(const Bytes& w) {
    if (HasFrameDelimiters(w)) {
        return replyFor(w[5]);
    }
    return Bytes(64, 0xA5);
}

struct Fixture : ::testing::Test {
    Owner owner;
    LinkPtr link;
    void open(int waitTimeout = LUsb::kDefaultWaitTimeout, bool suppress = true) {
        link.reset(new LUsbProc(&owner));
        owner.session = link.get();
        ASSERT_TRUE(link->Open());
        link->SetWaitTimeout(waitTimeout);
        link->SetKeepAliveSuppressed(suppress);
    }
    void TearDown() override {
        owner.session = nullptr;
        link.reset();
        QCoreApplication::processEvents(); // run deferred deletions
    }
};

using LinkSession = Fixture;

} // namespace

TEST_F(LinkSession, SecondRequestWaitsForFirstReplyToBeHandled) {
    open();
    std::size_t writesSeenInHandler = 99;
    owner.onReply = [&](const Bytes&) { writesSeenInHandler = owner.writeCount(); };
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    link->SendFrame(frameFor(cmd::IapReset), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    QTest::qWait(150);
    EXPECT_EQ(owner.writeCount(), 1u);
    EXPECT_TRUE(link->busy());
    EXPECT_EQ(link->queued(), 1u);
    EXPECT_EQ(owner.write(0), frameFor(cmd::GetUnitType));

    owner.feed(replyFor(cmd::GetUnitType, {0x19}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 2; }, kDeadline));
    EXPECT_EQ(writesSeenInHandler, 1u);
    EXPECT_EQ(owner.write(1), frameFor(cmd::IapReset));
    ASSERT_EQ(owner.replies.size(), 1u);
    EXPECT_EQ(owner.replies[0], replyFor(cmd::GetUnitType, {0x19}));
    EXPECT_LT(owner.elapsed[0], 10000u);
    // A request queued from inside the handler goes out after that handler returns.
    owner.onReply = [&](const Bytes&) { link->SendFrame(frameFor(cmd::GetVersion), true); };
    owner.feed(replyFor(cmd::IapReset));
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 3; }, kDeadline));
    EXPECT_EQ(owner.write(2), frameFor(cmd::GetVersion));
}

TEST_F(LinkSession, FramedReassembly) {
    open();
    link->SendFrame(frameFor(cmd::GetVersion), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    // Bytes before the first 0x10 are dropped; 0x10 0x07 0x02 keeps the 0x10 and drops
    // 0x07; a frame with length byte 5 is complete at its 13th byte.
    const Bytes frame{0x10, 0x02, 0x01, 0x00, 0x05, 0x52, 0x41, 0x42, 0x43, 0x44, 0x10, 0x03, 0x77};
    Bytes first{0x00, 0x33, 0x10, 0x07};
    first.insert(first.end(), frame.begin() + 1, frame.begin() + 12); // up to byte 12
    owner.feed(first);
    QTest::qWait(100);
    EXPECT_TRUE(owner.replies.empty());
    owner.feed(Bytes{0x77, 0xEE, 0xEE});
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() == 1; }, kDeadline));
    EXPECT_EQ(owner.replies[0], frame);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !link->busy(); }, kDeadline));
    // Bytes after the frame started a fresh accumulator only at a 0x10: 0xEE dropped.
    QTest::qWait(50);
    EXPECT_EQ(owner.replies.size(), 1u);
}

TEST_F(LinkSession, RawModeDeliversExactly64ByteBlocks) {
    open();
    Bytes packet(70, 0);
    packet[0] = 0x80;
    link->SendFrame(packet, true);
    link->SendFrame(packet, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    EXPECT_FALSE(link->frameMode());
    Bytes two(128);
    for (std::size_t i = 0; i < two.size(); ++i) {
        two[i] = static_cast<std::uint8_t>(i);
    }
    // 0x10 0x02 at the start of a raw block does not matter: the mode is raw.
    two[0] = 0x10;
    two[1] = 0x02;
    owner.feed(two);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() == 2; }, kDeadline));
    EXPECT_EQ(owner.replies[0], Bytes(two.begin(), two.begin() + 64));
    EXPECT_EQ(owner.replies[1], Bytes(two.begin() + 64, two.end()));
    // The first delivery handed the queued packet to the worker; the second found the
    // queue empty.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return owner.writeCount() == 2 && !link->busy(); }, kDeadline));
}

TEST_F(LinkSession, ReplyTimeoutNoticesAndLaterRequestsStayQueued) {
    const int interval = 250;
    open(interval);
    const auto t0 = std::chrono::steady_clock::now();
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return owner.notifyCount(kNotifyReplyTimeout) >= 1; }, kDeadline));
    // Seven silent intervals before the first notice; never fewer.
    EXPECT_GE(owner.notifyTimes[0] - t0, std::chrono::milliseconds(7 * interval - 20));
    EXPECT_EQ(owner.notifies[0].second, 0x01); // address byte of the last frame
    link->SendFrame(frameFor(cmd::GetVersion), true);
    QTest::qWait(100);
    EXPECT_EQ(owner.writeCount(), 1u);
    EXPECT_TRUE(link->busy());
    EXPECT_EQ(link->queued(), 1u);
}

TEST_F(LinkSession, ReplyTimeoutComesAfterThreeIntervalsForCode05) {
    const int interval = 250;
    open(interval);
    const auto t0 = std::chrono::steady_clock::now();
    link->SendFrame(frameFor(0x05), true);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return owner.notifyCount(kNotifyReplyTimeout) >= 2; }, kDeadline));
    const auto first = owner.notifyTimes[0] - t0;
    EXPECT_GE(first, std::chrono::milliseconds(3 * interval - 20));
    // Well short of the seven intervals other codes wait.
    EXPECT_LT(first, std::chrono::milliseconds(7 * interval));
}

TEST_F(LinkSession, CloseDiscardsQueuedRequestsAndWritesNothingMore) {
    open();
    owner.responder = echo;
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !owner.replies.empty(); }, kDeadline));
    owner.responder = nullptr;
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    link->SendFrame(frameFor(cmd::IapReset), true);
    link->SendFrame(frameFor(cmd::GetVersion), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 2; }, kDeadline));
    link->Close();
    EXPECT_FALSE(link->running());
    EXPECT_EQ(link->queued(), 0u);
    owner.feed(replyFor(cmd::GetUnitType));
    link->SendFrame(frameFor(cmd::GetVersion), true);
    QTest::qWait(200);
    EXPECT_EQ(owner.writeCount(), 2u);
    EXPECT_EQ(owner.replies.size(), 1u);
    EXPECT_EQ(owner.notifyCount(kNotifyWorkerEnded), 1);
    EXPECT_EQ(owner.notifyCount(kNotifyWorkerStuck), 0);
}

namespace {
// Records when it is destroyed.
class WatchedSession : public LUsbProc {
public:
    WatchedSession(LinkOwner* o, std::atomic<int>* destroyed)
        : LUsbProc(o), destroyed_(destroyed) {}

protected:
    ~WatchedSession() override { destroyed_->fetch_add(1); }

private:
    std::atomic<int>* destroyed_;
};
} // namespace

TEST(LinkSessionLifetime, CloseAndReleaseFromInsideReplyHandler) {
    Owner owner;
    std::atomic<int> destroyed{0};
    auto* session = new WatchedSession(&owner, &destroyed);
    LinkPtr link(session);
    owner.session = session;
    ASSERT_TRUE(link->Open());
    link->SetKeepAliveSuppressed(true);
    bool handlerReturned = false;
    int destroyedInHandler = -1;
    owner.onReply = [&](const Bytes&) {
        link->SendFrame(frameFor(cmd::GetVersion), true); // queued, then discarded
        link->Close();
        owner.session = nullptr;
        link.reset(); // release while the worker waits for this handler
        destroyedInHandler = destroyed.load();
        handlerReturned = true;
    };
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    owner.feed(replyFor(cmd::GetUnitType, {0x19}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return destroyed.load() == 1; }, kDeadline));
    EXPECT_TRUE(handlerReturned);
    EXPECT_EQ(destroyedInHandler, 0);
    EXPECT_EQ(owner.writeCount(), 1u);
}

TEST(LinkSessionLifetime, DestroyWhileWorkerIsBlockedDelivering) {
    Owner owner;
    std::atomic<int> destroyed{0};
    LinkPtr link(new WatchedSession(&owner, &destroyed));
    owner.session = link.get();
    ASSERT_TRUE(link->Open());
    link->SetKeepAliveSuppressed(true);
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    owner.feed(replyFor(cmd::GetUnitType));
    // Give the worker time to reach the delivery and block on the GUI thread, which is
    // not running its event loop now.
    std::this_thread::sleep_for(200ms);
    const auto t0 = std::chrono::steady_clock::now();
    owner.session = nullptr;
    link.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s); // cancelled, not timed out
    EXPECT_EQ(destroyed.load(), 1);
    // The queued delivery finds the call abandoned and does nothing.
    QTest::qWait(100);
    EXPECT_TRUE(owner.replies.empty());
    EXPECT_EQ(owner.notifyCount(kNotifyWorkerStuck), 0);
}

TEST(LinkSessionLifetime, UnopenedSessionDropsRequests) {
    Owner owner;
    LinkPtr link(new LUsbProc(&owner));
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    link->Receive(replyFor(0x10).data(), 9);
    QTest::qWait(50);
    EXPECT_EQ(owner.writeCount(), 0u);
    EXPECT_FALSE(link->running());
    // Opening twice fails the second time.
    ASSERT_TRUE(link->Open());
    EXPECT_FALSE(link->Open());
}

TEST_F(LinkSession, ReplyBeforeAnyWriteIsNotDelivered) {
    open();
    owner.feed(replyFor(cmd::KeepAlive));
    QTest::qWait(150);
    EXPECT_TRUE(owner.replies.empty());
    EXPECT_FALSE(link->busy());
}

// Keep-alive: never while suppressed, never while a request is in flight; with
// suppression clear and a unit that answers, one after 3000 ms of quiet.
TEST_F(LinkSession, KeepAliveCadenceAndSuppression) {
    open(LUsb::kDefaultWaitTimeout, true);
    owner.responder = echo;
    QTest::qWait(3400); // one tick passed while suppressed
    EXPECT_EQ(owner.writeCount(), 0u);

    // A request in flight with no answer: the next tick sends nothing.
    owner.responder = nullptr;
    link->SetKeepAliveSuppressed(false);
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    QTest::qWait(3400);
    EXPECT_EQ(owner.writeCount(), 1u);

    // Answered: the quiet period starts at the delivery; a keep-alive follows it.
    owner.responder = echo;
    owner.feed(replyFor(cmd::GetUnitType));
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() == 1; }, kDeadline));
    const auto delivered = std::chrono::steady_clock::now();
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 2; }, kDeadline));
    const auto gap = std::chrono::steady_clock::now() - delivered;
    EXPECT_EQ(owner.write(1), (Bytes{0x10, 0x02, 0x00, 0x01, 0x01, 0x12, 0x10, 0x03, 0x13}));
    EXPECT_GE(gap, 2500ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() == 2; }, kDeadline));
}

// Many sessions opened, exercised and closed while replies are in flight; run under
// TSan this checks the shared state.
TEST(LinkSessionStress, OpenExchangeCloseRepeatedly) {
    Owner owner;
    owner.responder = echo;
    for (int round = 0; round < 100; ++round) {
        LinkPtr link(new LUsbProc(&owner));
        owner.session = link.get();
        ASSERT_TRUE(link->Open());
        link->SetKeepAliveSuppressed(true);
        for (int i = 0; i < 3; ++i) {
            link->SendFrame(frameFor(cmd::GetUnitType), true);
        }
        const std::size_t target = owner.replies.size() + static_cast<std::size_t>(round % 4);
        ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() >= target; }, kDeadline));
        owner.session = nullptr;
        link.reset();
    }
    QTest::qWait(50);
    EXPECT_GE(owner.replies.size(), 100u);
    EXPECT_EQ(owner.notifyCount(kNotifyWorkerStuck), 0);
    EXPECT_EQ(owner.notifyCount(kNotifyWorkerEnded), 100);
}

// Bad input from the unit: a frame left incomplete by a broken report does not swallow
// the reply that opens the next report, and reports arriving faster than the worker
// wakes are all walked, in order.
TEST_F(LinkSession, ReportOpeningAFrameDropsAPartialOne) {
    open();
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    Bytes broken(64, 0x33);
    broken[0] = 0x10;
    broken[1] = 0x02;
    broken[2] = 0x01;
    broken[3] = 0x00;
    broken[4] = 0xFF; // claims 263 bytes
    owner.feed(broken);
    owner.feed(replyFor(cmd::GetUnitType, {0x19}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.replies.size() == 1; }, kDeadline));
    EXPECT_EQ(owner.replies[0], replyFor(cmd::GetUnitType, {0x19}));
}

TEST_F(LinkSession, ReportsFasterThanTheWorkerAreAllTaken) {
    open();
    link->SendFrame(frameFor(cmd::GetUnitType), true);
    link->SendFrame(frameFor(cmd::GetVersion), true);
    link->SendFrame(frameFor(cmd::KeepAlive), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return owner.writeCount() == 1; }, kDeadline));
    // Two replies handed on back to back, before the worker can wake between them.
    owner.feed(replyFor(cmd::GetUnitType, {0x19}));
    owner.feed(replyFor(cmd::GetVersion));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return owner.replies.size() == 2 && owner.writeCount() == 3; }, kDeadline));
    // Every request went out once, in order: none overwrote another.
    EXPECT_EQ(owner.write(1), frameFor(cmd::GetVersion));
    EXPECT_EQ(owner.write(2), frameFor(cmd::KeepAlive));
}

// SPDX-License-Identifier: MIT
// Transactions cut short at random moments, many times over: the far end
// hanging up during READ CONFIG and SAVE CONFIG, and the window closed while
// a transaction runs. Nothing may crash or hang; after a hang-up the controls
// come back and the operator has been told. The random generator is seeded
// from VARNOLINK_SOAK_SEED when set, otherwise at random; the seed is printed
// so that a failing run can be repeated.

#include <QApplication>
#include <QMetaObject>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include "transaction_support.h"

using namespace transaction_test;

namespace {

constexpr int ReadConfigRequests = 14;
constexpr int SaveConfigRequests = 12 + 14;  // the writes, then the read-back

unsigned SoakSeed()
{
    const char* Given = std::getenv("VARNOLINK_SOAK_SEED");
    const unsigned Seed =
        Given != nullptr ? static_cast<unsigned>(std::strtoul(Given, nullptr, 10)) : std::random_device{}();
    std::printf("transactions soak: VARNOLINK_SOAK_SEED=%u\n", Seed);
    std::fflush(stdout);
    return Seed;
}

// One window on a fresh simulator. From the moment Arm is called, the
// simulator counts requests and, at request number Index, asks the main
// thread to run Cut after DelayMs: a random moment within that exchange.
class TCutScenario {
public:
    TCutScenario()
    {
        TSimulatorOptions Options;
        Options.OnRequest = [this](const varnolink::sim::TRequestRecord&) {
            if (Index_ > 0 && ++Seen_ == Index_)
                QMetaObject::invokeMethod(
                    Form.get(), [this] { QTimer::singleShot(DelayMs_, Form.get(), Cut); }, Qt::QueuedConnection);
        };
        Simulator = std::make_unique<TModuleSimulator>(std::move(Options));
        Simulator->Start();
        Form = ShowForm({Simulator->DevicePath()});
        Form->SetReplyTimeoutForTesting(ShortTimeoutMs);
        OpenSimulatorPort(*Form, *Simulator);
        // SAVE CONFIG stores what the window shows: start from a full read.
        Click(Form->ReadConfig);
    }
    ~TCutScenario()
    {
        // The simulator's thread must not reach for the window once it is gone.
        if (!Simulator->HungUp())
            Simulator->HangUp();
        Form.reset();
    }

    void Arm(int Index, int DelayMs)
    {
        DelayMs_ = DelayMs;
        Index_ = Index;
    }

    std::unique_ptr<TModuleSimulator> Simulator;
    std::unique_ptr<TMainForm> Form;
    std::function<void()> Cut;

private:
    std::atomic<int> Index_{0};
    std::atomic<int> Seen_{0};
    int DelayMs_ = 0;
};

}  // namespace

class TTransactionsSoakTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void FarEndHangingUpAtRandomMomentsIsReportedOnceAndClosesThePort();
    void ClosingTheWindowAtRandomMomentsEndsTheTransaction();

private:
    std::mt19937 Random_{SoakSeed()};

    int Uniform(int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(Random_); }

    // A random moment of a random transaction, and the words for it.
    struct TMoment {
        bool Save;
        int Index;
        int DelayMs;
        QString Where;
    };
    TMoment RandomMoment(int Round, const char* Cut)
    {
        const bool Save = Uniform(0, 1) == 1;
        const int Index = Uniform(1, Save ? SaveConfigRequests : ReadConfigRequests);
        const int DelayMs = Uniform(0, 5);
        return {Save, Index, DelayMs,
                QStringLiteral("round %1: %2, %3 at request %4 + %5 ms")
                    .arg(Round)
                    .arg(Save ? "SAVE CONFIG" : "READ CONFIG")
                    .arg(Cut)
                    .arg(Index)
                    .arg(DelayMs)};
    }
};

void TTransactionsSoakTest::FarEndHangingUpAtRandomMomentsIsReportedOnceAndClosesThePort()
{
    for (int Round = 0; Round < 100; ++Round) {
        const auto [Save, Index, DelayMs, Where] = RandomMoment(Round, "hang-up");
        TErrorRecorder Errors;
        TCutScenario Scenario;
        QVERIFY2(Scenario.Form->StatusConnect->text() == "Connect OK", qPrintable(Where));
        Scenario.Cut = [&Scenario] { Scenario.Simulator->HangUp(); };
        Scenario.Arm(Index, DelayMs);

        Click(Save ? Scenario.Form->SaveConfig : Scenario.Form->ReadConfig);

        QTRY_VERIFY2(Scenario.Simulator->HungUp(), qPrintable(Where));
        QTRY_VERIFY2(!Errors.Messages.isEmpty(), qPrintable(Where));
        QVERIFY2(!Scenario.Form->WaitingForReply(), qPrintable(Where));
        // The window has closed the port itself: the port list and "Open".
        QVERIFY2(!Scenario.Form->ComPort1.Connected(), qPrintable(Where));
        QVERIFY2(EnabledControls(*Scenario.Form) == Sorted({"ComboPort", "OpenPort"}), qPrintable(Where));
        QVERIFY2(Scenario.Form->StatusConnect->text() == "Disconnect", qPrintable(Where));
        QVERIFY2(Errors.Messages.size() == 1, qPrintable(Where + "\n" + Errors.Messages.join("\n---\n")));
    }
}

void TTransactionsSoakTest::ClosingTheWindowAtRandomMomentsEndsTheTransaction()
{
    for (int Round = 0; Round < 50; ++Round) {
        const auto [Save, Index, DelayMs, Where] = RandomMoment(Round, "window closed");
        TErrorRecorder Errors;
        TCutScenario Scenario;
        TMainForm* Form = Scenario.Form.get();
        Scenario.Cut = [Form] { Form->close(); };
        Scenario.Arm(Index, DelayMs);

        Click(Save ? Form->SaveConfig : Form->ReadConfig);

        QTRY_VERIFY2(!Form->isVisible(), qPrintable(Where));
        QVERIFY2(!Form->WaitingForReply(), qPrintable(Where));
        QVERIFY2(!Form->ComPort1.Connected(), qPrintable(Where));
    }
}

QTEST_MAIN(TTransactionsSoakTest)
#include "transactions_soak_test.moc"

// The sender's dialog, offscreen: it lists the attached log with a check box,
// unticking it leaves the log out of the upload the service stores, a file
// the user may not leave out cannot be unticked, a failed send says so and
// may be tried again, and Don't send during a send cancels it.
#include "SenderDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>

#include "ReportFolder.h"
#include "SenderTestSupport.h"
#include "SilentUploadService.h"
#include "support/TempHome.h"
#include "support/UpdateService.h"

namespace fs = std::filesystem;
using testsupport::readFile;

namespace {

constexpr const char* kUploadPath = "index.php/crashReport/uploadExternal";

QApplication& app() {
    static int argc = 1;
    static char name[] = "SenderDialog_test";
    static char* argv[] = {name, nullptr};
    static QApplication instance(argc, argv);
    return instance;
}

std::vector<fs::path> folders(const fs::path& root) {
    std::vector<fs::path> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::directory_iterator(root)) out.push_back(e.path());
    return out;
}

class SenderDialogTest : public ::testing::Test {
protected:
    void SetUp() override { app(); }

    // Loads the report the way the sender does and opens the dialog on it,
    // with the sender's own upload.
    void open(const std::string& url, unsigned logFlags) {
        sample.url = url;
        sample.logFlags = logFlags;
        sendertest::writeReport(folder(), sample);
        std::string error;
        ASSERT_TRUE(crashsender::loadReport(folder().string(), report, error)) << error;
        ASSERT_TRUE(crashsender::writeSymbolised(report, error)) << error;
        dialog = std::make_unique<crashsender::SenderDialog>(
            report, "https://www.keltora.example/privacy.html",
            [this](const std::vector<bool>& include, std::stop_token stop) {
                return crashsender::uploadReport(report.description.url, crashsender::uploadParts(report, include),
                                                 true, std::move(stop));
            });
        dialog->show();
    }

    // Clicks Send, then runs `whileSending` (when given), and runs the event
    // loop until the send has finished (at most 60 s); returns whether it
    // worked.
    bool clickSendAndWait(const std::function<void()>& whileSending = {}) {
        QEventLoop loop;
        bool ok = false;
        bool finished = false;
        QObject::connect(dialog.get(), &crashsender::SenderDialog::sendFinished, &loop, [&](bool result) {
            ok = result;
            finished = true;
            loop.quit();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        button("send")->click();
        if (whileSending) whileSending();
        if (!finished) loop.exec();
        EXPECT_TRUE(finished) << "the send did not finish within 60 s";
        return ok;
    }

    QCheckBox* logBox() { return dialog->findChild<QCheckBox*>("attachment0"); }
    QPushButton* button(const char* name) { return dialog->findChild<QPushButton*>(name); }
    QString status() { return dialog->findChild<QLabel*>("status")->text(); }
    fs::path folder() const { return home.root() / "CrashReports" / "20261210T120000Z-4242"; }
    fs::path store() const { return home.root() / "uploads"; }

    testsupport::TempHome home;
    sendertest::Report sample;
    crashsender::ReportFolder report;
    std::unique_ptr<crashsender::SenderDialog> dialog;
};

TEST_F(SenderDialogTest, UntickingTheLogLeavesItOutOfTheUpload) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    for (const bool keepLog : {false, true}) {
        SCOPED_TRACE(keepLog ? "log ticked" : "log unticked");
        for (const auto& old : folders(store())) fs::remove_all(old);
        open(service.base() + kUploadPath, 5);
        QCheckBox* box = logBox();
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->isEnabled());
        EXPECT_TRUE(box->isChecked());
        EXPECT_TRUE(box->text().startsWith("LogFile: log_glauncher_20261210.log (")) << box->text().toStdString();
        if (!keepLog) box->click();
        EXPECT_EQ(box->isChecked(), keepLog);

        ASSERT_TRUE(clickSendAndWait()) << status().toStdString();
        const auto uploads = folders(store());
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_TRUE(status().startsWith("Thank you. The report was sent (id " +
                                        QString::fromStdString(uploads[0].filename().string())))
            << status().toStdString();
        EXPECT_EQ(fs::exists(uploads[0] / "log_glauncher_20261210.log"), keepLog);
        if (keepLog) {
            EXPECT_EQ(readFile(uploads[0] / "log_glauncher_20261210.log"), sample.log);
        }
        EXPECT_EQ(readFile(uploads[0] / "crash.txt"), readFile(folder() / "crash.txt"));
        EXPECT_EQ(readFile(uploads[0] / "upload.json").find("\"attachment\"") != std::string::npos, keepLog);
        // After a successful send only Close is left.
        EXPECT_FALSE(button("send")->isVisible());
        EXPECT_TRUE(button("close")->isVisible());
    }
}

// A copy larger than the engine writes goes as its last mebibyte, and the
// box says so.
TEST_F(SenderDialogTest, AnOversizedCopyIsListedAsItsEnd) {
    sample.log = std::string((1u << 20) + 4096, 'x');
    open(std::string("http://127.0.0.1:1/") + kUploadPath, 5);
    EXPECT_EQ(logBox()->text().toStdString(), "LogFile: log_glauncher_20261210.log (its last 1.0 MB)");
    ASSERT_EQ(report.attachments.size(), 1u);
    EXPECT_EQ(report.attachments[0].content.size(), 1u << 20);
}

TEST_F(SenderDialogTest, AFileThatMustGoCannotBeUnticked) {
    testsupport::UpdateService service({"--quiet", "--crash-dir", store().string()});
    ASSERT_FALSE(service.base().empty());
    open(service.base() + kUploadPath, 1);
    EXPECT_FALSE(logBox()->isEnabled());
    EXPECT_TRUE(logBox()->isChecked());
    // Even a choice that says otherwise does not leave it out.
    const auto parts = crashsender::uploadParts(report, {false});
    EXPECT_EQ(parts.back().filename, "log_glauncher_20261210.log");
}

TEST_F(SenderDialogTest, AFailedSendSaysSoAndCanBeTriedAgain) {
    open(std::string("http://127.0.0.1:1/") + kUploadPath, 5);
    EXPECT_FALSE(clickSendAndWait());
    EXPECT_TRUE(status().startsWith("The report could not be sent: ")) << status().toStdString();
    EXPECT_TRUE(status().endsWith(" You can try again.")) << status().toStdString();
    EXPECT_EQ(button("send")->text(), "Try again");
    EXPECT_TRUE(button("send")->isEnabled());
    EXPECT_TRUE(logBox()->isEnabled());
    EXPECT_TRUE(dialog->sendTried());
    EXPECT_FALSE(dialog->result().ok);
}

TEST_F(SenderDialogTest, DontSendWhileSendingCancelsTheUpload) {
    sendertest::SilentUploadService service;
    open(service.url(), 5);
    bool held = false;
    EXPECT_FALSE(clickSendAndWait([&] {
        held = service.waitForUpload();
        button("dontSend")->click();
    }));
    EXPECT_TRUE(held) << "the upload never reached the service";
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(dialog->sendTried());
    EXPECT_EQ(dialog->result().message, "Sending was cancelled.");
}

TEST_F(SenderDialogTest, SaysWhatHappenedAndLinksThePrivacyPolicy) {
    open(std::string("http://crash.keltora.example/") + kUploadPath, 5);
    EXPECT_EQ(dialog->windowTitle(), "morvel3_launcher has stopped");
    const QString privacy = dialog->findChild<QLabel*>("privacy")->text();
    EXPECT_TRUE(privacy.contains("<a href=\"https://www.keltora.example/privacy.html\">privacy policy</a>"))
        << privacy.toStdString();
    bool saysWhat = false;
    for (const QLabel* label : dialog->findChildren<QLabel*>()) {
        if (label->text().contains("tried to use memory it could not use and had to close.") &&
            label->text().contains("it goes to crash.keltora.example"))
            saysWhat = true;
    }
    EXPECT_TRUE(saysWhat);
    // The symbolised text is one click away.
    auto* details = dialog->findChild<QPlainTextEdit*>("details");
    ASSERT_NE(details, nullptr);
    EXPECT_FALSE(details->isVisible());
    button("showDetails")->click();
    EXPECT_TRUE(details->isVisible());
    EXPECT_EQ(details->toPlainText().toStdString(), report.symbolised);
    EXPECT_NE(report.symbolised.find("Stack of the crashing thread:"), std::string::npos);
    // Don't send closes without a send.
    button("dontSend")->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->sendTried());
}

}  // namespace

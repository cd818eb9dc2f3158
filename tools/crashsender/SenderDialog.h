// The sender's dialog: says in plain words what happened, lists the files
// that would be sent (each optional one with a check box to leave it out),
// links the privacy policy, and offers Send / Don't send. Sending runs on a
// thread of its own; the dialog stays responsive, says whether it worked, and
// closing it cancels a transfer still running.
//
// GUI thread only. The upload function is called on the sending thread with
// the user's choices (one entry per attachment of the report) and the
// dialog's stop token, which closing the dialog (Don't send, Escape, the
// window's close button) or destroying it raises.
#pragma once

#include <QDialog>

#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "ReportFolder.h"
#include "Upload.h"

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace crashsender {

using UploadFunction = std::function<UploadResult(const std::vector<bool>& include, std::stop_token stop)>;

class SenderDialog : public QDialog {
    Q_OBJECT
public:
    SenderDialog(const ReportFolder& report, const std::string& privacyUrl, UploadFunction upload,
                 QWidget* parent = nullptr);
    ~SenderDialog() override;

    // After the dialog has closed: whether a send was tried and its result.
    bool sendTried() const { return m_tried; }
    const UploadResult& result() const { return m_result; }

    // The user's current choices, one per attachment.
    std::vector<bool> choices() const;

signals:
    // Emitted on the GUI thread when a send has finished, either way.
    void sendFinished(bool ok);

private slots:
    // Runs on the GUI thread once the sending thread has left its result.
    void takeSendResult();

private:
    void startSend();
    void finishSend(const UploadResult& result);
    void reject() override;

    const ReportFolder& m_report;
    UploadFunction m_upload;
    std::vector<QCheckBox*> m_boxes;
    QLabel* m_status = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_dontSend = nullptr;
    QPushButton* m_close = nullptr;
    QPlainTextEdit* m_details = nullptr;
    std::thread m_sender;
    std::stop_source m_stop;  // raised on the GUI thread, read by the sending thread's transfer
    // Handed from the sending thread to the GUI thread; the queued call that
    // announces it carries no data of its own.
    std::mutex m_resultLock;
    UploadResult m_pendingResult;
    bool m_tried = false;
    bool m_sending = false;
    UploadResult m_result;
};

}  // namespace crashsender

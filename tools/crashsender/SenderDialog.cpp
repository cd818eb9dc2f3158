#include "SenderDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Symbolizer.h"

namespace crashsender {

namespace {

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QString sizeText(long long bytes) {
    if (bytes < 1024) return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024) return QStringLiteral("%1 KB").arg((bytes + 1023) / 1024);
    return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

QString hostOf(const std::string& url) {
    const std::size_t start = url.find("://");
    if (start == std::string::npos) return q(url);
    const std::size_t end = url.find('/', start + 3);
    return q(url.substr(start + 3, end == std::string::npos ? std::string::npos : end - start - 3));
}

}  // namespace

SenderDialog::SenderDialog(const ReportFolder& report, const std::string& privacyUrl, UploadFunction upload,
                           QWidget* parent)
    : QDialog(parent), m_report(report), m_upload(std::move(upload)) {
    const CrashDescription& d = report.description;
    const QString app = d.app.empty() ? QStringLiteral("The program") : q(d.app);
    setWindowTitle(QStringLiteral("%1 has stopped").arg(app));
    setObjectName(QStringLiteral("crashSenderDialog"));

    auto* layout = new QVBoxLayout(this);
    auto* headline = new QLabel(QStringLiteral("<b>%1 closed unexpectedly.</b>").arg(app.toHtmlEscaped()));
    layout->addWidget(headline);
    auto* what = new QLabel(q(plainWhatHappened(d)) +
                            QStringLiteral(" A report about it has been prepared. Sending it helps us find "
                                           "and fix the problem; it goes to %1 and nothing else is sent.")
                                .arg(hostOf(d.url)));
    what->setWordWrap(true);
    layout->addWidget(what);

    auto* filesBox = new QGroupBox(QStringLiteral("What the report contains"));
    auto* filesLayout = new QVBoxLayout(filesBox);
    auto* fixed = new QLabel(QStringLiteral("Where and why the program stopped, its version, and the memory "
                                            "layout of the program at that moment (always included)."));
    fixed->setWordWrap(true);
    filesLayout->addWidget(fixed);
    for (std::size_t i = 0; i < report.attachments.size(); ++i) {
        const Attachment& a = report.attachments[i];
        // A copy larger than the engine writes goes as its end only.
        const QString sized = a.cut ? QStringLiteral("%1: %2 (its last %3)") : QStringLiteral("%1: %2 (%3)");
        const QString label = a.present ? sized.arg(q(a.file.description), q(a.file.name), sizeText(a.bytes))
                                        : QStringLiteral("%1: %2 (could not be copied, not sent)")
                                              .arg(q(a.file.description), q(a.file.name));
        auto* box = new QCheckBox(label);
        box->setObjectName(QStringLiteral("attachment%1").arg(i));
        box->setChecked(a.present);
        box->setEnabled(a.present && a.optional);
        if (a.present && a.optional) box->setToolTip(QStringLiteral("Untick to leave this file out of the report."));
        filesLayout->addWidget(box);
        m_boxes.push_back(box);
    }
    bool anyOptional = false;
    for (const Attachment& a : report.attachments) anyOptional = anyOptional || (a.present && a.optional);
    if (anyOptional) {
        auto* hint = new QLabel(QStringLiteral("Untick a file to leave it out of the report."));
        hint->setObjectName(QStringLiteral("leaveOutHint"));
        filesLayout->addWidget(hint);
    }
    layout->addWidget(filesBox);

    m_details = new QPlainTextEdit(q(report.symbolised));
    m_details->setObjectName(QStringLiteral("details"));
    m_details->setReadOnly(true);
    m_details->setVisible(false);
    m_details->setMinimumHeight(160);
    auto* detailsButton = new QPushButton(QStringLiteral("Show details"));
    detailsButton->setObjectName(QStringLiteral("showDetails"));
    detailsButton->setCheckable(true);
    connect(detailsButton, &QPushButton::toggled, this, [this, detailsButton](bool on) {
        m_details->setVisible(on);
        detailsButton->setText(on ? QStringLiteral("Hide details") : QStringLiteral("Show details"));
        adjustSize();
    });
    layout->addWidget(detailsButton, 0, Qt::AlignLeft);
    layout->addWidget(m_details);

    auto* privacy = new QLabel(QStringLiteral("How we handle the report: <a href=\"%1\">privacy policy</a>")
                                   .arg(q(privacyUrl).toHtmlEscaped()));
    privacy->setObjectName(QStringLiteral("privacy"));
    privacy->setTextFormat(Qt::RichText);
    privacy->setTextInteractionFlags(Qt::TextBrowserInteraction);
    privacy->setOpenExternalLinks(true);
    layout->addWidget(privacy);

    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    auto* buttons = new QDialogButtonBox;
    m_send = buttons->addButton(QStringLiteral("Send"), QDialogButtonBox::AcceptRole);
    m_send->setObjectName(QStringLiteral("send"));
    m_send->setDefault(true);
    m_dontSend = buttons->addButton(QStringLiteral("Don't send"), QDialogButtonBox::RejectRole);
    m_dontSend->setObjectName(QStringLiteral("dontSend"));
    m_close = buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::RejectRole);
    m_close->setObjectName(QStringLiteral("close"));
    m_close->setVisible(false);
    connect(m_send, &QPushButton::clicked, this, &SenderDialog::startSend);
    connect(m_dontSend, &QPushButton::clicked, this, &SenderDialog::reject);
    connect(m_close, &QPushButton::clicked, this, &SenderDialog::accept);
    layout->addWidget(buttons);
    setMinimumWidth(520);
    m_send->setFocus();
}

SenderDialog::~SenderDialog() {
    m_stop.request_stop();
    if (m_sender.joinable()) m_sender.join();
}

std::vector<bool> SenderDialog::choices() const {
    std::vector<bool> out;
    for (const QCheckBox* box : m_boxes) out.push_back(box->isChecked());
    return out;
}

void SenderDialog::startSend() {
    if (m_sending) return;
    m_sending = true;
    m_tried = true;
    m_send->setEnabled(false);
    for (QCheckBox* box : m_boxes) box->setEnabled(false);
    m_status->setText(QStringLiteral("Sending the report..."));
    if (m_sender.joinable()) m_sender.join();
    const std::vector<bool> include = choices();
    m_sender = std::thread([this, include] {
        UploadResult r = m_upload(include, m_stop.get_token());
        {
            std::lock_guard<std::mutex> lock(m_resultLock);
            m_pendingResult = std::move(r);
        }
        QMetaObject::invokeMethod(this, "takeSendResult", Qt::QueuedConnection);
    });
}

void SenderDialog::takeSendResult() {
    UploadResult result;
    {
        std::lock_guard<std::mutex> lock(m_resultLock);
        result = m_pendingResult;
    }
    finishSend(result);
}

void SenderDialog::finishSend(const UploadResult& result) {
    m_sending = false;
    m_result = result;
    if (result.ok) {
        m_status->setText(QStringLiteral("Thank you. ") + q(result.message));
        m_send->setVisible(false);
        m_dontSend->setVisible(false);
        m_close->setVisible(true);
        m_close->setDefault(true);
    } else {
        m_status->setText(q(result.message) + QStringLiteral(" You can try again."));
        m_send->setText(QStringLiteral("Try again"));
        m_send->setEnabled(true);
        for (std::size_t i = 0; i < m_boxes.size(); ++i)
            m_boxes[i]->setEnabled(m_report.attachments[i].present && m_report.attachments[i].optional);
    }
    emit sendFinished(result.ok);
}

void SenderDialog::reject() {
    // Closing while sending stops the transfer; the thread is joined when the
    // dialog goes away.
    m_stop.request_stop();
    QDialog::reject();
}

}  // namespace crashsender

#include "pelmar/dialogs/frmLogin.h"

#include "DialogSupport.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pelmar::dialogs {

namespace {

bool IsIdChar(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

QLineEdit* IdBox(const char* name) {
    auto* e = Named(new QLineEdit, name);
    e->setMaxLength(4);
    e->setEchoMode(QLineEdit::Password);
    // Wide enough for four masked characters at any scaling, without a fixed pixel width.
    e->setMinimumWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("MMMMMMMM")));
    return e;
}

void MakeButtons(QDialog* dlg, QVBoxLayout* lay, QPushButton*& ok, QPushButton*& cancel) {
    auto* box = new QDialogButtonBox;
    ok = Named(new QPushButton(QStringLiteral("OK")), "cmdOK", QStringLiteral("lng:{cap=1000}"));
    cancel = Named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel",
                   QStringLiteral("lng:{cap=1001}"));
    // Enter and Escape are handled by the ID boxes' key filter, not by default buttons.
    ok->setAutoDefault(false);
    cancel->setAutoDefault(false);
    box->addButton(ok, QDialogButtonBox::AcceptRole);
    box->addButton(cancel, QDialogButtonBox::RejectRole);
    QObject::connect(cancel, &QPushButton::clicked, dlg, &QDialog::reject);
    lay->addWidget(box);
}

} // namespace

LoginIdKeyFilter::LoginIdKeyFilter(QPushButton* ok, QPushButton* cancel, QObject* parent)
    : QObject(parent), ok_(ok), cancel_(cancel) {}

bool LoginIdKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    auto* ke = static_cast<QKeyEvent*>(event);
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (!edit) return false;
    if (ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter) {
        ok_->click();
        return true;
    }
    if (ke->key() == Qt::Key_Escape) {
        cancel_->click();
        return true;
    }
    const QString t = ke->text();
    if (t.isEmpty() || t[0].unicode() < 32 || t[0].unicode() == 127) return false;
    if (ke->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    const QChar c = t[0].toUpper();
    if (t.size() == 1 && IsIdChar(c)) edit->insert(QString(c));
    return true;
}

frmLogin::frmLogin(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmLogin"));
    pelmar::ui::SetTag(this, QStringLiteral("lng:{cap=15000}"));
    setWindowTitle(QStringLiteral("Login"));
    auto* lay = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    Label1 = Named(new QLabel(QStringLiteral("Enter Login ID :")), "Label1",
                   QStringLiteral("lng:{cap=15001}"));
    txtID = IdBox("txtID");
    form->addRow(Label1, txtID);
    lay->addLayout(form);
    labMsg = Named(new QLabel(QStringLiteral("Login ID have to be 4 digital numbers\r\n"
                                             "The default setting is 4826")),
                   "labMsg", QStringLiteral("lng:{cap=15002}"));
    lay->addWidget(labMsg);
    MakeButtons(this, lay, cmdOK, cmdCancel);
    txtID->installEventFilter(new LoginIdKeyFilter(cmdOK, cmdCancel, this));
    connect(txtID, &QLineEdit::textChanged, this, &frmLogin::OnChange);
    connect(cmdOK, &QPushButton::clicked, this, &frmLogin::OnOK);
    cmdOK->setEnabled(false);
    LoadFormLanguage(this);
}

void frmLogin::OnChange() {
    cmdOK->setEnabled(txtID->text().size() == 4);
}

void frmLogin::OnOK() {
    const QString id = txtID->text().trimmed();
    if (id.size() != 4) return;
    // A pasted ID bypasses the key filter; only a real Login ID is accepted.
    for (QChar c : id)
        if (!IsIdChar(c.toUpper())) return;
    id_ = id.toUpper();
    ok_ = true;
    accept();
}

frmChgID::frmChgID(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frmChgID"));
    pelmar::ui::SetTag(this, QStringLiteral("lng:{cap=14000}"));
    setWindowTitle(QStringLiteral("Change Login ID"));
    auto* lay = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    Label1[0] = Named(new QLabel(QStringLiteral("Enter Login ID :")), "Label1_0",
                      QStringLiteral("lng:{cap=14001}"));
    Label1[1] = Named(new QLabel(QStringLiteral("Re-Enter Login ID :")), "Label1_1",
                      QStringLiteral("lng:{cap=14003}"));
    txtID[0] = IdBox("txtID_0");
    txtID[1] = IdBox("txtID_1");
    form->addRow(Label1[0], txtID[0]);
    form->addRow(Label1[1], txtID[1]);
    lay->addLayout(form);
    labMsg = Named(new QLabel(QStringLiteral("Login ID have to be 4 digital numbers")), "labMsg",
                   QStringLiteral("lng:{cap=14002}"));
    labDiff = Named(new QLabel(QStringLiteral("Difference ID")), "labDiff",
                    QStringLiteral("lng:{cap=14004}"));
    labDiff->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    labDiff->hide();
    lay->addWidget(labMsg);
    lay->addWidget(labDiff);
    MakeButtons(this, lay, cmdOK, cmdCancel);
    auto* filter = new LoginIdKeyFilter(cmdOK, cmdCancel, this);
    for (QLineEdit* e : txtID) {
        e->installEventFilter(filter);
        connect(e, &QLineEdit::textChanged, this, &frmChgID::OnChange);
    }
    connect(cmdOK, &QPushButton::clicked, this, &frmChgID::OnOK);
    cmdOK->setEnabled(false);
    LoadFormLanguage(this);
}

void frmChgID::OnChange() {
    labDiff->hide();
    const QString a = txtID[0]->text(), b = txtID[1]->text();
    if (a.size() == 4 && a == b) {
        cmdOK->setEnabled(true);
        return;
    }
    cmdOK->setEnabled(false);
    if (a.size() == 4 && b.size() == 4) labDiff->show();
}

void frmChgID::OnOK() {
    const QString a = txtID[0]->text();
    if (a.size() != 4 || a != txtID[1]->text()) return;
    for (QChar c : a)
        if (!IsIdChar(c.toUpper())) return;
    id_ = a.toUpper();
    ok_ = true;
    accept();
}

QString GetLoginID(QWidget* parent) {
    frmLogin dlg(parent);
    dlg.exec();
    return dlg.IsOK() ? dlg.ID() : QString();
}

QString GetChgID(QWidget* parent) {
    frmChgID dlg(parent);
    dlg.exec();
    return dlg.IsOK() ? dlg.ID() : QString();
}

} // namespace pelmar::dialogs

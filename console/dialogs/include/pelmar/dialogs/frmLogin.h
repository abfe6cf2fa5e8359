// The two Login ID dialogs: frmLogin asks for the ID to log in with, frmChgID for a new ID
// entered twice. Neither talks to the reader; each returns the accepted ID or "".
#pragma once
#include <QDialog>
#include <QObject>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pelmar::dialogs {

// Key filter of the ID boxes: upper case, Enter clicks OK, Escape clicks Cancel, control
// keys pass, printable keys only when 0-9 or A-F.
class LoginIdKeyFilter : public QObject {
    Q_OBJECT
public:
    LoginIdKeyFilter(QPushButton* ok, QPushButton* cancel, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPushButton* ok_;
    QPushButton* cancel_;
};

class frmLogin : public QDialog {
    Q_OBJECT
public:
    explicit frmLogin(QWidget* parent = nullptr);
    bool IsOK() const { return ok_; }
    QString ID() const { return id_; }

private:
    void OnChange();
    void OnOK();

    QLabel* Label1;
    QLineEdit* txtID;
    QLabel* labMsg;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    bool ok_ = false;
    QString id_;
};

class frmChgID : public QDialog {
    Q_OBJECT
public:
    explicit frmChgID(QWidget* parent = nullptr);
    bool IsOK() const { return ok_; }
    QString ID() const { return id_; }

private:
    void OnChange();
    void OnOK();

    QLabel* Label1[2];
    QLineEdit* txtID[2];
    QLabel* labMsg;
    QLabel* labDiff;
    QPushButton* cmdOK;
    QPushButton* cmdCancel;
    bool ok_ = false;
    QString id_;
};

// Shows frmLogin modally; the ID typed (four characters 0-9 A-F, upper case), or "" when
// the dialog was cancelled or closed.
QString GetLoginID(QWidget* parent = nullptr);
// Shows frmChgID modally; the new ID entered twice identically, or "" when cancelled.
QString GetChgID(QWidget* parent = nullptr);

} // namespace pelmar::dialogs

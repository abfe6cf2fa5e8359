#include "pelmar/dialogs/frmTime.h"

#include "DialogSupport.h"
#include "pelmar/dialogs/DialogUserPrompt.h"

#include <QDateEdit>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <lvlang/modLanguage.h>

namespace pelmar::dialogs {

namespace {
const QColor kRed(255, 0, 0), kBlue(0, 0, 255);
}

frmTime::frmTime(modKt9& kt9, QWidget* parent)
    : QDialog(parent), kt9_(kt9), now_([] { return QDateTime::currentDateTime(); }) {
    setObjectName(QStringLiteral("frmTime"));
    ui::SetTag(this, QStringLiteral("lng:{cap=17000}"));
    labCaption[0] = Named(new QLabel(QStringLiteral("Date")), "labCaption_0",
                          QStringLiteral("lng:{cap=17001}"));
    labCaption[1] = Named(new QLabel(QStringLiteral("Time")), "labCaption_1",
                          QStringLiteral("lng:{cap=17002}"));
    dtpDate = Named(new QDateEdit, "dtpDate");
    dtpDate->setDisplayFormat(QStringLiteral("  yyyy / MM / dd  ddd"));
    dtpDate->setDateRange(QDate(1601, 1, 1), QDate(9999, 12, 31));
    dtpTime = Named(new QDateTimeEdit, "dtpTime");
    dtpTime->setDisplayFormat(QStringLiteral("     HH   :   mm   :   ss"));
    dtpTime->setDateRange(QDate(1601, 1, 1), QDate(9999, 12, 31));
    labCaption[0]->setBuddy(dtpDate);
    labCaption[1]->setBuddy(dtpTime);
    labMsg = Named(new QLabel(QStringLiteral("Database not empty")), "labMsg",
                   QStringLiteral("lng:{cap=17007}"));
    labMsg->setAlignment(Qt::AlignCenter);
    cmdSync = Named(new QPushButton(QStringLiteral("Sync.")), "cmdSync",
                    QStringLiteral("lng:{cap=17003, tip=19406}"));
    cmdSync->setToolTip(QStringLiteral(" Kt4 and PC time synchronization "));
    cmdApply = Named(new QPushButton(QStringLiteral("Apply")), "cmdApply",
                     QStringLiteral("lng:{cap=17004}"));
    cmdOK =
        Named(new QPushButton(QStringLiteral("OK")), "cmdOK", QStringLiteral("lng:{cap=17005}"));
    cmdCancel = Named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel",
                      QStringLiteral("lng:{cap=17006}"));
    for (QPushButton* b : {cmdSync, cmdApply, cmdOK, cmdCancel})
        b->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(labCaption[0], 0, 0);
    grid->addWidget(dtpDate, 0, 1);
    grid->addWidget(labCaption[1], 1, 0);
    grid->addWidget(dtpTime, 1, 1);
    grid->setColumnStretch(1, 1);
    auto* box = new QHBoxLayout;
    box->addWidget(cmdSync);
    box->addStretch(1);
    box->addWidget(cmdApply);
    box->addWidget(cmdOK);
    box->addWidget(cmdCancel);
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(grid);
    lay->addWidget(labMsg);
    lay->addLayout(box);

    TimerAddSec.setInterval(1000);
    connect(&TimerAddSec, &QTimer::timeout, this, &frmTime::OnTick);
    connect(dtpDate, &QDateEdit::dateChanged, this, [this](QDate d) {
        EnableEditButtons();
        QDateTime t = dtpTime->dateTime();
        t.setDate(d);
        dtpTime->setDateTime(t);
    });
    connect(dtpTime, &QDateTimeEdit::dateTimeChanged, this, [this] {
        UserTyping = false;
        if (!Ticking) {
            TickCount = 0;
            EnableEditButtons();
        }
        RestartTimer();
    });
    dtpTime->installEventFilter(this);
    connect(cmdApply, &QPushButton::clicked, this, &frmTime::OnApply);
    connect(cmdOK, &QPushButton::clicked, this, [this] {
        OnApply();
        accept();
    });
    connect(cmdSync, &QPushButton::clicked, this, &frmTime::OnSync);
    connect(cmdCancel, &QPushButton::clicked, this, &frmTime::reject);

    setWindowTitle(QStringLiteral(" ") + AppTitle() + QStringLiteral(" Date/Time"));
    LoadFormLanguage(this);
    // The weekday after the date in the language chosen, not the system's.
    dtpDate->setLocale(lvlang::LangLocale());
    dtpTime->setLocale(lvlang::LangLocale());
}

void frmTime::SetMsg(const QString& text, const QColor& colour) {
    labMsg->setText(text);
    labMsg->setStyleSheet(QStringLiteral("color: %1;").arg(colour.name()));
}

void frmTime::EnableEditButtons() {
    if (!CanSet_) return;
    cmdApply->setEnabled(true);
    cmdOK->setEnabled(true);
    cmdSync->setEnabled(true);
}

void frmTime::RestartTimer() {
    if (!TimerAddSec.isActive()) return;
    TimerAddSec.start();
}

void frmTime::ShowRecordState(bool holdsRecords) {
    if (holdsRecords)
        SetMsg(lvlang::LangString(QStringLiteral("17007"), QStringLiteral("Database not empty")),
               kRed);
    else
        labMsg->clear();
    CanSet_ = !holdsRecords;
    for (QWidget* w : std::initializer_list<QWidget*>{dtpDate, dtpTime, cmdSync, cmdApply, cmdOK})
        w->setEnabled(CanSet_);
}

bool frmTime::LoadFromReader() {
    const int32_t count = kt9_.ReadRecordCount();
    ShowRecordState(count >= 1 && kt9_.LastCallOK);
    kt9_.LastCallOK = false;
    QDateTime t = kt9_.ReadDeviceTime();
    if (!t.isValid() || t.date() < dtpTime->minimumDate() || t.date() > dtpTime->maximumDate()) {
        // A clock the pickers cannot hold: the reader gets the PC's time once.
        kt9_.WriteDeviceTime(now_());
        t = kt9_.ReadDeviceTime();
    }
    Ticking = true; // the reader's own value, not an edit
    if (!kt9_.LastCallOK || kt9_.LinkTimedOut()) {
        t = now_();
        const bool full = !labMsg->text().isEmpty();
        SetMsg(
            full ? lvlang::LangString(QStringLiteral("17011"),
                                      QStringLiteral("Can't get time/ Database not empty"))
                 : lvlang::LangString(QStringLiteral("17010"), QStringLiteral("Can't get time!!!")),
            kRed);
    }
    dtpTime->setDateTime(t);
    dtpDate->setDate(t.date());
    Ticking = false;
    TimerAddSec.start();
    LastSetOK_ = false;
    Applied_ = false;
    return !kt9_.LinkTimedOut();
}

void frmTime::OnTick() {
    if (UserTyping || inTick_) return;
    inTick_ = true;
    Ticking = true;
    ++TickCount;
    if (TickCount <= 9) {
        dtpTime->setDateTime(dtpTime->dateTime().addSecs(1));
    } else {
        QDateTime read;
        bool haveRead = false;
        if (!cmdApply->isEnabled()) {
            read = kt9_.ReadDeviceTime();
            // A closed link gives the zero date without a time-out: no reading either.
            haveRead = !(read == modKt9::ZeroDate() && (kt9_.LinkTimedOut() || !kt9_.LastCallOK));
        }
        if (cmdApply->isEnabled() || !haveRead) {
            dtpTime->setDateTime(dtpTime->dateTime().addSecs(1));
        } else {
            dtpTime->setDateTime(read);
            // The reader's date is taken whole, not as a one-day roll-over.
            if (read.date() != dtpDate->date()) dtpDate->setDate(read.date());
        }
        TickCount = 0;
    }
    if (dtpTime->date() != dtpDate->date()) dtpDate->setDate(dtpDate->date().addDays(1));
    const QString pc = now_().toString(QStringLiteral("yyyyMMddHHmmss"));
    const QString shown = dtpDate->date().toString(QStringLiteral("yyyyMMdd")) +
                          dtpTime->time().toString(QStringLiteral("HHmmss"));
    if (pc == shown)
        cmdSync->setEnabled(false);
    else if (CanSet_)
        cmdSync->setEnabled(true);
    Ticking = false;
    inTick_ = false;
}

void frmTime::OnApply() {
    cmdSync->setEnabled(false);
    cmdCancel->setEnabled(false);
    cmdApply->setEnabled(false);
    cmdOK->setEnabled(false);
    Applied_ = true;
    if (CanSet_) {
        labMsg->clear();
        const QTime tm = dtpTime->time();
        const QDateTime when(dtpDate->date(), QTime(tm.hour(), tm.minute(), tm.second()));
        LastSetOK_ = kt9_.WriteDeviceTime(when);
        if (LastSetOK_) {
            SetMsg(lvlang::LangString(QStringLiteral("17008"), QStringLiteral("Set Date/Time OK")),
                   kBlue);
        } else {
            SetMsg(lvlang::LangString(QStringLiteral("17009"), QStringLiteral("Set Date/Time NG")),
                   kRed);
            cmdApply->setEnabled(true);
            cmdOK->setEnabled(true);
            cmdSync->setEnabled(true);
        }
    }
    cmdCancel->setEnabled(true);
}

void frmTime::OnSync() {
    const QDateTime now = now_();
    dtpTime->setDateTime(now);
    dtpDate->setDate(now.date());
    cmdApply->setEnabled(true);
    cmdOK->setEnabled(true);
    OnApply();
}

void frmTime::reject() {
    // Cancel, Escape and the window frame all end without a completed Apply.
    if (!cmdCancel->isEnabled()) return;
    Applied_ = false;
    TimerAddSec.stop();
    QDialog::reject();
}

bool frmTime::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dtpTime && event->type() == QEvent::KeyPress) {
        const QString t = static_cast<QKeyEvent*>(event)->text();
        if (t.size() == 1 && t[0].isDigit()) {
            UserTyping = true;
            RestartTimer();
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool ShowTime(modKt9& kt9, QWidget* parent) {
    frmTime dlg(kt9, parent);
    if (!dlg.LoadFromReader()) return false;
    dlg.exec();
    return dlg.Outcome();
}

} // namespace pelmar::dialogs

#include "app/ConfigurationDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

TfConfigurationDialog::TfConfigurationDialog(QWidget* owner)
    : QDialog(owner)
{
    setObjectName("fConfigurationDialog");
    setWindowTitle("Varno Configuration");
    // A fixed dialog: no resizing, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Label1 = new QLabel("Varno traffic counter", Bevel1);
    Label1->setObjectName("Label1");
    Label1->setEnabled(false);
    cbAdaptor = new QComboBox(Bevel1);
    cbAdaptor->setObjectName("cbAdaptor");
    cbAdaptor->setEditable(false);
    Label2 = new QLabel("Adaptor", Bevel1);
    Label2->setObjectName("Label2");
    cbStartConnected = new QCheckBox("Start connected", Bevel1);
    cbStartConnected->setObjectName("cbStartConnected");
    Label3 = new QLabel("Allowed Traffic (to be reported on)", Bevel1);
    Label3->setObjectName("Label3");
    eFilename = new QLineEdit(Bevel1);
    eFilename->setObjectName("eFilename");
    SpeedButton1 = new QToolButton(Bevel1);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    SpeedButton1->setToolTip("Browse for the ranges file");
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setFixedSize(24, 24);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setNameFilters({"Ini Files (*.ini)", "All Files (*)"});
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);

    // The arrangement follows the classic 343 x 197 layout; layouts rather
    // than fixed pixels keep every caption whole at the desktop's font size.
    cbAdaptor->setMinimumWidth(297);
    eFilename->setMinimumWidth(273);
    auto* grid = new QGridLayout(Bevel1);
    grid->setContentsMargins(15, 7, 8, 7);
    grid->setVerticalSpacing(4);
    grid->addWidget(Label2, 0, 0, 1, 2);
    grid->addWidget(cbAdaptor, 1, 0, 1, 2);
    grid->setRowMinimumHeight(2, 8);
    grid->addWidget(Label3, 3, 0, 1, 2);
    grid->addWidget(eFilename, 4, 0);
    grid->addWidget(SpeedButton1, 4, 1);
    grid->setRowMinimumHeight(5, 20);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(cbStartConnected);
    bottom->addStretch(1);
    bottom->addWidget(Label1);
    grid->addLayout(bottom, 6, 0, 1, 2);

    OKBtn->setMinimumSize(75, 25);
    CancelBtn->setMinimumSize(75, 25);
    OKBtn->setDefault(true);
    OKBtn->setAutoDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    buttons->addStretch(1);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 6, 8);
    outer->addWidget(Bevel1);
    outer->addLayout(buttons);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    Bevel1->setMinimumSize(329, 145);

    // Tab order: OK, Cancel, adaptor, start connected, file name.
    setTabOrder(OKBtn, CancelBtn);
    setTabOrder(CancelBtn, cbAdaptor);
    setTabOrder(cbAdaptor, cbStartConnected);
    setTabOrder(cbStartConnected, eFilename);
    OKBtn->setFocus();

    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
}

void TfConfigurationDialog::SpeedButton1Click()
{
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    const QStringList files = OpenDialog1->selectedFiles();
    if (files.isEmpty())
        return;
    eFilename->setText(QFileInfo(files.first()).absoluteFilePath());
}

#pragma once
// The configuration dialog: the capture adapter, the ranges file and whether
// monitoring starts with the program. Filling it and acting on OK is the
// data module's job; the dialog only offers its controls and the browse button.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

class TfConfigurationDialog : public QDialog {
public:
    explicit TfConfigurationDialog(QWidget* owner = nullptr);

    // Lets the user pick a ranges file; a confirmed choice replaces the text
    // of eFilename with the file's full path, a cancel leaves it alone.
    void SpeedButton1Click();

    QPushButton* OKBtn;
    QPushButton* CancelBtn;
    QFrame* Bevel1;
    QLabel* Label1;
    QComboBox* cbAdaptor;
    QLabel* Label2;
    QCheckBox* cbStartConnected;
    QLabel* Label3;
    QLineEdit* eFilename;
    QToolButton* SpeedButton1;
    QFileDialog* OpenDialog1;
};

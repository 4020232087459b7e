#include "dialogs/about_box.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "dialogs/icons.h"
#include "pelk_version.h"

namespace pelk {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QStringLiteral("About"));
    // Below the panel an OK button, so that the keyboard closes the box too.
    setFixedSize(370, 205);
    setAutoFillBackground(true);
    QPalette bg = palette();
    bg.setColor(QPalette::Window, bg.color(QPalette::Button));  // the system's menu colour
    setPalette(bg);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("panel"));
    panel->setGeometry(8, 8, 353, 161);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    panel->setAutoFillBackground(true);
    QPalette white = panel->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(white);

    // The title line takes the version from the project's one version.
    auto* titleLine = new QLabel(QStringLiteral("Pelk ISP v. " PELK_VERSION_SHORT), panel);
    titleLine->setObjectName(QStringLiteral("titleLine"));
    QFont title = titleLine->font();
    title.setBold(true);
    title.setUnderline(true);
    titleLine->setFont(title);
    titleLine->move(8, 8);

    auto* picture = new QLabel(panel);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setGeometry(136, 24, 209, 105);
    picture->setPixmap(MakeAppPicture(209, 105));

    auto line = [panel](const char* name, const QString& text, int x, int y) {
        auto* l = new QLabel(text, panel);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        return l;
    };
    // Maker (three lines), telephone and fax, web and e-mail, author.
    line("makerLine1", QStringLiteral("Pelk ISP developers"), 8, 32);
    line("makerLine2", QStringLiteral("In-system programmer"), 8, 50);
    line("makerLine3", QStringLiteral("for 8051-family MCUs"), 8, 68);
    line("phoneLine", QStringLiteral("Tel.: not published"), 8, 86);
    line("faxLine", QStringLiteral("Fax: not published"), 8, 104);
    auto* rule = new QFrame(panel);
    rule->setObjectName(QStringLiteral("rule"));
    rule->setGeometry(8, 120, 337, 2);
    rule->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line("authorLine", QStringLiteral("Written with Qt 6 for Linux"), 8, 128);
    line("webLine", QStringLiteral("Web: README.md"), 216, 128);
    line("mailLine", QStringLiteral("E-mail: README.md"), 216, 144);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setGeometry(147, 174, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace pelk

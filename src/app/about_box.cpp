#include "app/about_box.h"

#include <QFrame>
#include <QPushButton>

#include "app/icons.h"

namespace pelk {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About"));
    // Below the panel an OK button, so that the keyboard closes the box too.
    setFixedSize(370, 205);
    setAutoFillBackground(true);
    QPalette bg = palette();
    bg.setColor(QPalette::Window, bg.color(QPalette::Button));  // the system's menu colour
    setPalette(bg);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(8, 8, 353, 161);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    panel->setAutoFillBackground(true);
    QPalette white = panel->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(white);

    Label9 = new QLabel(QStringLiteral("Pelk ISP v. 2.2"), panel);
    Label9->setObjectName(QStringLiteral("Label9"));
    QFont title = Label9->font();
    title.setBold(true);
    title.setUnderline(true);
    Label9->setFont(title);
    Label9->move(8, 8);

    Image1 = new QLabel(panel);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(136, 24, 209, 105);
    Image1->setPixmap(MakeAppPicture(209, 105));

    auto line = [panel](const char* name, const QString& text, int x, int y) {
        auto* l = new QLabel(text, panel);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        return l;
    };
    // Maker (three lines), telephone and fax, web and e-mail, author.
    line("Label1", QStringLiteral("Pelk ISP developers"), 8, 32);
    line("Label2", QStringLiteral("In-system programmer"), 8, 50);
    line("Label3", QStringLiteral("for 8051-family MCUs"), 8, 68);
    line("Label4", QStringLiteral("Tel.: not published"), 8, 86);
    line("Label5", QStringLiteral("Fax: not published"), 8, 104);
    auto* rule = new QFrame(panel);
    rule->setObjectName(QStringLiteral("Bevel1"));
    rule->setGeometry(8, 120, 337, 2);
    rule->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    line("Label7", QStringLiteral("Written with Qt 6 for Linux"), 8, 128);
    line("Label8", QStringLiteral("Web: README.md"), 216, 128);
    line("Label6", QStringLiteral("E-mail: README.md"), 216, 144);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setGeometry(147, 174, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace pelk

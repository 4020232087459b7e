// The Fill and Edit dialogs and the captions under a real window manager:
// real message boxes, activation decided by openbox.
#include <xcb/xcb.h>

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dialogs/about_box.h"
#include "dialogs/device_dialog.h"
#include "dialogs/serial_dialog.h"
#include "app/application_identity.h"
#include "support/window_fixture.h"

namespace pelk {
namespace {

xcb_connection_t* Connection() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t Atom(const char* name) {
    xcb_connection_t* c = Connection();
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr), &free);
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Presses OK in each message box once the window manager has made it the
// active window, as a user would, and keeps what the boxes said.
class MessageBoxAnswerer : public QObject {
public:
    MessageBoxAnswerer() { qApp->installEventFilter(this); }
    ~MessageBoxAnswerer() override { qApp->removeEventFilter(this); }
    std::vector<QString> Texts;
    std::vector<QWidget*> Owners;

protected:
    bool eventFilter(QObject* object, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(object);
        if (box && event->type() == QEvent::WindowActivate) {
            Texts.push_back(box->text());
            Owners.push_back(box->parentWidget());
            QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
        }
        return false;
    }
};

class WindowManagerTest : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        SetApplicationIdentity();
        SetUserPrompts(nullptr);  // real message boxes
        Start();
        W().show();
        ASSERT_TRUE(WaitActive(&W()));
    }
    // Waits until `window` is the application's active window. (Qt's own
    // wait also counts a window active while its transient child is.)
    static bool WaitActive(QWidget* window) {
        return QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }, 10000);
    }
    // Makes `window` the active window as the user's click on it would: a
    // request to the window manager on the user's behalf. (Qt's own request
    // skips the window manager when a transient child of the window is
    // active, and openbox then takes the focus back.)
    static bool Activate(QWidget* window) {
        xcb_connection_t* c = Connection();
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = xcb_window_t(window->winId());
        event.type = Atom("_NET_ACTIVE_WINDOW");
        event.data.data32[0] = 2;  // on the user's behalf
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&event));
        xcb_flush(c);
        return WaitActive(window);
    }
    // The user replaces the last character of the field's text with `c`.
    static void RetypeLast(DialogEdit* field, const char* c) {
        field->setFocus();
        field->setSelection(int(field->text().size()) - 1, 1);
        QTest::keyClicks(field, c);
    }
    static void TypeOver(DialogEdit* field, const char* text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
};

TEST_F(WindowManagerTest, FillKeepsItsRangeAfterItsOwnMessageBox) {
    MessageBoxAnswerer answerer;
    W().fillBuffer();
    ASSERT_TRUE(WaitActive(&W().fillDialog()));
    TypeOver(&FillField("toField"), "0001F");
    TypeOver(&FillField("dataHex"), "00");
    RetypeLast(&FillField("fromField"), "G");
    ASSERT_EQ(answerer.Texts, std::vector<QString>{"Data format error !"});
    EXPECT_EQ(answerer.Owners[0], &W().fillDialog()) << "the box belongs to the dialog";
    EXPECT_EQ(FillField("fromField").text(), "00000");

    // Back in the dialog (the user clicks it if the window manager went elsewhere).
    ASSERT_TRUE(Activate(&W().fillDialog()));
    EXPECT_EQ(FillField("toField").text(), "0001F");
    QTest::mouseClick(&Child<QPushButton>(W().fillDialog(), "fillButton"), Qt::LeftButton);
    EXPECT_EQ(W().image().ImageBuffer[0x1F], 0x00);
    EXPECT_EQ(W().image().ImageBuffer[0x20], 0xFF);
    EXPECT_EQ(W().panelText(1), "Checksum: E020");

    // Switching to the main window and back keeps what was typed.
    ASSERT_TRUE(Activate(&W()));
    ASSERT_TRUE(Activate(&W().fillDialog()));
    EXPECT_EQ(FillField("toField").text(), "0001F");
}

TEST_F(WindowManagerTest, EditKeepsItsAddressAfterItsOwnMessageBox) {
    MessageBoxAnswerer answerer;
    W().grid().selectCell(5, 3);
    W().editCell();
    ASSERT_TRUE(WaitActive(&W().editDialog()));
    EXPECT_EQ(EditField("addressField").text(), "00024");
    TypeOver(&EditField("addressField"), "00010");
    TypeOver(&EditField("newHex"), "12");
    RetypeLast(&EditField("addressField"), "G");
    ASSERT_EQ(answerer.Texts, std::vector<QString>{"Data format error !"});
    ASSERT_TRUE(Activate(&W().editDialog()));
    EXPECT_EQ(EditField("addressField").text(), "00010");
    QTest::mouseClick(&Child<QPushButton>(W().editDialog(), "setButton"), Qt::LeftButton);
    EXPECT_EQ(W().image().ImageBuffer[0x10], 0x12);
    EXPECT_EQ(W().image().ImageBuffer[0x24], 0xFF);
    ASSERT_TRUE(Activate(&W()));
    ASSERT_TRUE(Activate(&W().editDialog()));
    EXPECT_EQ(EditField("addressField").text(), "00010");
}

// While Program runs, nothing can change the image, the device or the port;
// after a hang-up the port is offered again, and Cancel keeps it.
TEST_F(WindowManagerTest, NothingChangesUnderARunningOperation) {
    MessageBoxAnswerer answerer;
    StartTarget(0xFFFF, 1, {.PaceBaud = 9600});
    W().port().SetPortNum(1);
    W().port().Open();
    const auto usable = [] {
        return std::vector{Action("loadAction").isEnabled(),
                           Action("clearAction").isEnabled(),
                           Action("serialPortAction").isEnabled(),
                           Action("deviceAction").isEnabled(),
                           Child<QPushButton>(W().fillDialog(), "fillButton").isEnabled(),
                           Child<QPushButton>(W().editDialog(), "setButton").isEnabled()};
    };
    Action("programAction").trigger();
    ASSERT_TRUE(QTest::qWaitFor([] { return W().progress() > 0; }, 10000));
    EXPECT_EQ(usable(), std::vector<bool>(6, false));
    W().clearBuffer();  // reached another way
    EXPECT_EQ(answerer.Texts, std::vector<QString>{"Buffer > Clear is not possible while an operation runs: wait for "
                                                   "its result, or Stop it."});
    Target->Stop();  // the adapter is pulled out
    ASSERT_TRUE(QTest::qWaitFor([] { return !W().port().Active(); }, 10000));
    EXPECT_EQ(usable(), std::vector<bool>(6, true));
    bool offered = false;
    QTimer::singleShot(0, [&offered] {
        offered = Child<QRadioButton>(W().serialDialog(), "com1").isChecked();
        Child<QPushButton>(W().serialDialog(), "cancelButton").click();
    });
    W().changeSerialPort();
    EXPECT_TRUE(offered);
    EXPECT_EQ(W().port().PortNum(), 1);
}

// Edit and Fill open apart, each where it was left; F10 and Alt reach the menu bar.
TEST_F(WindowManagerTest, DialogPlacesAndKeys) {
    W().editCell();
    W().fillBuffer();
    ASSERT_TRUE(WaitActive(&W().fillDialog()));
    EXPECT_FALSE(W().editDialog().frameGeometry().intersects(W().fillDialog().frameGeometry()));
    const QPoint at = W().fillDialog().frameGeometry().topLeft();
    W().fillDialog().close();
    W().fillBuffer();
    ASSERT_TRUE(WaitActive(&W().fillDialog()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return W().fillDialog().frameGeometry().topLeft() == at; }, 2000));
    ASSERT_TRUE(Activate(&W()));
    for (Qt::Key key : {Qt::Key_F10, Qt::Key_Alt}) {
        QTest::keyClick(&W(), key);
        EXPECT_TRUE(QTest::qWaitFor([] { return W().menuBar()->activeAction() != nullptr; }, 2000)) << key;
        W().menuBar()->setActiveAction(nullptr);
    }
}

// The caption a window manager shows: _NET_WM_NAME of the window.
QString ShownCaption(QWidget* w) {
    xcb_connection_t* c = Connection();
    std::unique_ptr<xcb_get_property_reply_t, decltype(&free)> p(
        xcb_get_property_reply(
            c, xcb_get_property(c, 0, xcb_window_t(w->winId()), Atom("_NET_WM_NAME"), Atom("UTF8_STRING"), 0, 256),
            nullptr),
        &free);
    if (!p) return {};
    return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(p.get())),
                             xcb_get_property_value_length(p.get()));
}

TEST_F(WindowManagerTest, EachCaptionIsExactlyItsOwnText) {
    const std::pair<QWidget*, const char*> windows[] = {
        {&W(), "Pelk ISP"},    {&W().deviceDialog(), "Select device"}, {&W().serialDialog(), "Select port"},
        {&W().aboutBox(), "About"},        {&W().fillDialog(), "FILL"},            {&W().editDialog(), "EDIT"},
        {&W().loadDialog(), "LOAD"},
    };
    for (const auto& [w, caption] : windows) {
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
        EXPECT_EQ(ShownCaption(w), caption);
        if (w != &W()) w->hide();
    }
}

}  // namespace
}  // namespace pelk

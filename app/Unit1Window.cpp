#include "app/Unit1Window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

#include <IdFramework/runtime/Thread.h>

namespace Id {

namespace {

QString ToQString(const std::u16string& AText) {
    return QString::fromUtf16(AText.data(), static_cast<qsizetype>(AText.size()));
}

std::u16string FromQString(const QString& AText) {
    return std::u16string(reinterpret_cast<const char16_t*>(AText.utf16()), static_cast<size_t>(AText.size()));
}

// Rows of the log list are 13 pixels high, whatever the font would ask for.
class TFixedRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& AOption, const QModelIndex& AIndex) const override {
        QSize size = QStyledItemDelegate::sizeHint(AOption, AIndex);
        size.setHeight(13);
        return size;
    }
};

// Tahoma at 8 points where it is installed; elsewhere the closest sans font at the same 11 pixels.
QFont WindowFont() {
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) font.setPointSize(8);
    else font.setPixelSize(11);
    return font;
}

constexpr int kClientWidth = 635;
constexpr int kClientHeight = 299;

}  // namespace

void InstallMainThreadWake() {
    // Posted to the application object, which outlives every window and every server thread.
    SetWakeMainThread([] {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
    });
}

void RemoveMainThreadWake() { SetWakeMainThread(nullptr); }

TForm1Window::TForm1Window(QWidget* AParent) : QWidget(AParent) {
    BuildControls();
    FForm = std::make_unique<TForm1>(*this);
}

TForm1Window::TForm1Window(TServerControl& AServer, QWidget* AParent) : QWidget(AParent) {
    BuildControls();
    FForm = std::make_unique<TForm1>(*this, AServer);
}

TForm1Window::~TForm1Window() {
    // The controller goes first: it may still hand entries over while its server stops.
    FForm.reset();
}

void TForm1Window::BuildControls() {
    setWindowTitle(QStringLiteral("Line Server"));
    setFont(WindowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setFixedHeight(41);
    Panel1 = panel;
    layout->addWidget(Panel1);

    EPort = new QLineEdit(Panel1);
    EPort->setObjectName(QStringLiteral("EPort"));
    EPort->setText(QStringLiteral("8000"));
    EPort->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), EPort));
    EPort->setGeometry(16, 11, 121, 21);

    Button1 = new QPushButton(QStringLiteral("Connect"), Panel1);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(144, 11, 75, 21);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Clicked(); });

    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setItemDelegate(new TFixedRowDelegate(ListBox1));
    ListBox1->setUniformItemSizes(true);
    layout->addWidget(ListBox1, 1);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(19);
    layout->addWidget(StatusBar1);

    resize(kClientWidth, kClientHeight);
}

void TForm1Window::Button1Clicked() {
    try {
        FForm->Button1Click(nullptr);
    } catch (Exception& E) {
        // Nothing may leave through the event loop; a stop that failed is still worth an entry.
        FForm->Log(u"Error", E.Message(), u"");
    }
}

void TForm1Window::closeEvent(QCloseEvent* AEvent) {
    bool canClose = false;
    try {
        FForm->FormCloseQuery(nullptr, canClose);
    } catch (Exception& E) {
        FForm->Log(u"Error", E.Message(), u"");
        canClose = true;
    }
    if (canClose) AEvent->accept();
    else AEvent->ignore();
}

std::u16string TForm1Window::Button1Caption() { return FromQString(Button1->text()); }

void TForm1Window::SetButton1Caption(const std::u16string& AValue) { Button1->setText(ToQString(AValue)); }

std::u16string TForm1Window::EPortText() { return FromQString(EPort->text()); }

void TForm1Window::DisableEPort() { EPort->setEnabled(false); }

int TForm1Window::ListBox1Count() { return ListBox1->count(); }

void TForm1Window::ListBox1DeleteFirst() { delete ListBox1->takeItem(0); }

void TForm1Window::ListBox1Append(const std::u16string& AEntry) { ListBox1->addItem(ToQString(AEntry)); }

void TForm1Window::ListBox1Select(int AIndex) {
    ListBox1->setCurrentRow(AIndex);
    if (QListWidgetItem* item = ListBox1->item(AIndex)) ListBox1->scrollToItem(item);
}

void TForm1Window::SetStatusBar1Text(const std::u16string& AValue) { StatusBar1->showMessage(ToQString(AValue)); }

void TForm1Window::ProcessMessages() { QCoreApplication::processEvents(); }

void TForm1Window::Close() {
    QTimer::singleShot(0, this, [this] { close(); });
}

void TForm1Window::NotifyLogPending() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (FForm) FForm->DeliverLog();
        },
        Qt::QueuedConnection);
}

}  // namespace Id

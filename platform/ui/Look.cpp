#include "platform/ui/Look.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLibraryInfo>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOption>
#include <QTranslator>

namespace {

// The program's longest captions, and how wide they are, unhinted, at 1000
// pixels in Liberation Sans (Arial's widths), regular and bold. A stand-in
// face is measured the same way and shrunk until it is no wider.
const QString kReferenceText =
    QStringLiteral("Avvisa dopo 10 accessi non riusciti Rimuovi url dalla lista Indirizzo IP Proxy: "
                   "Versione disponibile su internet");
constexpr double kReferenceRegular = 47653;
constexpr double kReferenceBold = 51792;

double WidthAt1000(const QFont &font, bool bold)
{
    QFont measured = font;
    measured.setPixelSize(1000);
    measured.setBold(bold);
    measured.setHintingPreference(QFont::PreferNoHinting);
    return QFontMetricsF(measured).horizontalAdvance(kReferenceText);
}

bool Installed(const QString &family)
{
    return QFontDatabase::families().contains(family, Qt::CaseInsensitive);
}

QFont FontOf(const QStringList &families, int pixelSize)
{
    QFont font(families.value(0));
    font.setFamilies(families);
    font.setPixelSize(pixelSize);
    return font;
}

bool DarkBase(const QWidget *widget)
{
    return widget && widget->palette().color(QPalette::Base).lightness() < 96;
}

// The scroll area a viewport or the area itself belongs to.
const QAbstractScrollArea *ScrollAreaOf(const QWidget *widget)
{
    if (!widget)
        return nullptr;
    if (auto *area = qobject_cast<const QAbstractScrollArea *>(widget))
        return area;
    return qobject_cast<const QAbstractScrollArea *>(widget->parentWidget());
}

// The desktop's style draws the keyboard focus in its highlight colour, a dark
// blue that cannot be told from the black of the lists. On a dark list the
// focus is drawn in the list's own text colour instead: the frame while the
// list has the focus, and a dotted outline around its current entry.
//
// It also takes the old platform's measures where the fixed layout depends on
// them: a 13-pixel check box with its caption 4 pixels after it, and buttons
// that ask for the room their picture and caption take, not for the wide
// margins of a desktop drawn for layouts that can grow.
class ProgramStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option, const QWidget *widget) const override
    {
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
            return 13;
        case PM_CheckBoxLabelSpacing:
            return 4;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &contents,
                           const QWidget *widget) const override
    {
        const QSize desktop = QProxyStyle::sizeFromContents(type, option, contents, widget);
        const int frame = 2 * pixelMetric(PM_DefaultFrameWidth, option, widget);
        switch (type) {
        case CT_CheckBox: {
            const int indicator = pixelMetric(PM_IndicatorWidth, option, widget);
            const int spacing = pixelMetric(PM_CheckBoxLabelSpacing, option, widget);
            return {indicator + spacing + contents.width(),
                    qMax(pixelMetric(PM_IndicatorHeight, option, widget), contents.height())};
        }
        case CT_ToolButton: {
            // The button asks for two blanks around its caption that its
            // drawing does not use.
            auto *tool = qstyleoption_cast<const QStyleOptionToolButton *>(option);
            if (!tool || tool->text.isEmpty() || tool->toolButtonStyle != Qt::ToolButtonTextBesideIcon)
                return desktop;
            const int width = frame + tool->iconSize.width() + 4 + tool->fontMetrics.horizontalAdvance(tool->text) + 2;
            return {width, desktop.height()};
        }
        case CT_PushButton: {
            // Dialog buttons (the message boxes') keep the desktop's size.
            auto *push = qstyleoption_cast<const QStyleOptionButton *>(option);
            if (!push || push->features & (QStyleOptionButton::AutoDefaultButton | QStyleOptionButton::DefaultButton))
                return desktop;
            return {contents.width() + frame + 2, desktop.height()};
        }
        default:
            return desktop;
        }
    }

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        QProxyStyle::drawControl(element, option, painter, widget);
        if (element != CE_ShapedFrame || !widget || !widget->hasFocus())
            return;
        const QAbstractScrollArea *area = qobject_cast<const QAbstractScrollArea *>(widget);
        if (!area || !DarkBase(area))
            return;
        painter->save();
        painter->setPen(QPen(area->palette().color(QPalette::Text), 1));
        painter->setBrush(Qt::NoBrush);
        const QRect r = option->rect;
        painter->drawRect(r.adjusted(0, 0, -1, -1));
        painter->drawRect(r.adjusted(1, 1, -2, -2));
        painter->restore();
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        const QAbstractScrollArea *area = ScrollAreaOf(widget);
        if (element == PE_FrameFocusRect && area && DarkBase(area)) {
            painter->save();
            painter->setPen(QPen(area->palette().color(QPalette::Text), 1, Qt::DotLine));
            painter->setBrush(Qt::NoBrush);
            painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
            painter->restore();
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

} // namespace

QFont FittedFont(const QStringList &families, int pixelSize)
{
    QFont font = FontOf(families, pixelSize);
    for (const QString &family : families)
        if (Installed(family))
            return font;
    // None of the twins: shrink the stand-in until neither its regular nor its
    // bold texts are wider than the twin's, so no caption is cut off.
    const double regular = WidthAt1000(font, false);
    const double bold = WidthAt1000(font, true);
    const double scale = qMin(1.0, qMin(kReferenceRegular / regular, kReferenceBold / bold));
    font.setPixelSize(qMax(6, int(pixelSize * scale)));
    return font;
}

QFont ProgramFont()
{
    return FittedFont({QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial")}, 11);
}

QFont SmallFont()
{
    QFont font = QApplication::font();
    font.setPixelSize(qMax(6, font.pixelSize() - 1));
    return font;
}

QFont FixedFont()
{
    QFont font = FontOf({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono")}, 11);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) {
        const int size = font.pixelSize();
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(size);
    }
    return font;
}

QFont ComicFont()
{
    QFont font = FontOf({QStringLiteral("Comic Sans MS"), QStringLiteral("Comic Neue")}, 19);
    font.setStyleHint(QFont::Cursive);
    font.setBold(true);
    return font;
}

QFont VerdanaFont(int pixelSize)
{
    // DejaVu Sans grew out of Bitstream Vera, drawn to Verdana's proportions.
    return FontOf({QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans")}, pixelSize);
}

QFont TahomaFont()
{
    const QFont program = QApplication::font();
    QStringList families{QStringLiteral("Tahoma")};
    families += program.families();
    return FontOf(families, program.pixelSize() > 0 ? program.pixelSize() : 11);
}

bool LoadItalianTranslations()
{
    auto *translator = new QTranslator(qApp);
    if (!translator->load(QStringLiteral("qtbase_it"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}

void SetUpLook()
{
    QApplication::setStyle(new ProgramStyle);
    QApplication::setFont(ProgramFont());
    LoadItalianTranslations();
}

QIcon ProgramIcon()
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

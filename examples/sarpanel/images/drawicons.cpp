// Renders the control panel's button icons and the program icon.
// Run by drawicons.sh; the results are committed beside it. With --hicolor DIR
// it writes only the program icon, as the desktop's icon theme wants it
// (DIR/NxN/apps/sarpanel.png); the build makes those.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>
#include <functional>

namespace {

using Draw = std::function<void(QPainter &)>;

// A closed outline through the given corners.
QPainterPath outline(std::initializer_list<QPointF> corners)
{
    QPainterPath path;
    path.addPolygon(QPolygonF(corners));
    path.closeSubpath();
    return path;
}

// Every picture is drawn on a 32 x 32 canvas and scaled by the painter.
QImage render(const Draw &draw, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    draw(p);
    return image;
}

void disc(QPainter &p, const QColor &fill)
{
    p.setPen(QPen(fill.darker(140), 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(2, 2, 28, 28));
}

void bar(QPainter &p, const QRectF &r)
{
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(r, 1.5, 1.5);
}

void drawAdd(QPainter &p)
{
    disc(p, QColor(46, 160, 67));
    bar(p, QRectF(8, 14, 16, 4));
    bar(p, QRectF(14, 8, 4, 16));
}

void drawDel(QPainter &p)
{
    disc(p, QColor(207, 34, 46));
    bar(p, QRectF(8, 14, 16, 4));
}

void drawTutup(QPainter &p)
{
    p.setPen(QPen(QColor(140, 20, 20), 1.5));
    p.setBrush(QColor(215, 45, 45));
    p.drawRoundedRect(QRectF(3, 3, 26, 26), 5, 5);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 10), QPointF(22, 22));
    p.drawLine(QPointF(22, 10), QPointF(10, 22));
}

void drawSave(QPainter &p)
{
    const QPainterPath body = outline({{3, 3}, {24, 3}, {29, 8}, {29, 29}, {3, 29}});
    p.setPen(QPen(QColor(20, 50, 110), 1.5));
    p.setBrush(QColor(40, 90, 190));
    p.drawPath(body);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(225, 230, 240));
    p.drawRect(QRectF(8, 4, 14, 9)); // shutter
    p.setBrush(QColor(40, 90, 190));
    p.drawRect(QRectF(17, 5, 3, 7));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(7, 17, 18, 11), 1.5, 1.5); // label
    p.setPen(QPen(QColor(150, 160, 180), 1));
    p.drawLine(QPointF(10, 21), QPointF(22, 21));
    p.drawLine(QPointF(10, 24), QPointF(22, 24));
}

void drawFolder(QPainter &p)
{
    const QPainterPath back = outline({{2, 7}, {12, 7}, {15, 10}, {30, 10}, {30, 27}, {2, 27}});
    p.setPen(QPen(QColor(160, 110, 10), 1.5));
    p.setBrush(QColor(230, 170, 40));
    p.drawPath(back);
    const QPainterPath front = outline({{2, 27}, {6, 14}, {31, 14}, {28, 27}});
    p.setBrush(QColor(250, 205, 80));
    p.drawPath(front);
}

void drawPlay(QPainter &p)
{
    const QPainterPath tri = outline({{7, 3}, {29, 16}, {7, 29}});
    p.setPen(QPen(QColor(20, 110, 40), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(46, 170, 70));
    p.drawPath(tri);
}

void drawStop(QPainter &p)
{
    p.setPen(QPen(QColor(140, 20, 20), 1.5));
    p.setBrush(QColor(210, 40, 40));
    p.drawRoundedRect(QRectF(5, 5, 22, 22), 3, 3);
}

// A bold white "?" centred in box, pixels high.
void questionMark(QPainter &p, const QRectF &box, int pixels)
{
    QFont font;
    font.setBold(true);
    font.setPixelSize(pixels);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(box, Qt::AlignCenter, QStringLiteral("?"));
}

void drawHelp(QPainter &p)
{
    disc(p, QColor(30, 110, 210));
    questionMark(p, QRectF(2, 2, 28, 28), 22);
}

void drawDb(QPainter &p)
{
    const QColor side(30, 120, 160), top(90, 185, 220), edge(15, 70, 100);
    p.setPen(QPen(edge, 1.5));
    p.setBrush(side);
    QPainterPath body;
    body.moveTo(5, 7);
    body.lineTo(5, 25);
    body.arcTo(QRectF(5, 21, 22, 8), 180, 180);
    body.lineTo(27, 7);
    body.closeSubpath();
    p.drawPath(body);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5, 9, 22, 8), 180 * 16, 180 * 16);
    p.drawArc(QRectF(5, 15, 22, 8), 180 * 16, 180 * 16);
    p.setBrush(top);
    p.drawEllipse(QRectF(5, 3, 22, 8));
}

void drawOk(QPainter &p)
{
    QPainterPath tick;
    tick.moveTo(5, 17);
    tick.lineTo(13, 25);
    tick.lineTo(28, 7);
    p.setPen(QPen(QColor(20, 110, 40), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    p.setPen(QPen(QColor(60, 185, 80), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
}

// The tray's icons: the database with a badge that tells the state, by colour and by sign.
void badge(QPainter &p, const QColor &fill)
{
    drawDb(p);
    p.setPen(QPen(Qt::white, 1.5));
    p.setBrush(fill);
    p.drawEllipse(QRectF(15, 15, 16, 16));
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
}

void drawTrayGood(QPainter &p)
{
    badge(p, QColor(46, 160, 67));
    QPainterPath tick;
    tick.moveTo(18.5, 23);
    tick.lineTo(21.5, 26);
    tick.lineTo(27, 19.5);
    p.drawPath(tick);
}

void drawTrayFailed(QPainter &p)
{
    badge(p, QColor(207, 34, 46));
    p.drawLine(QPointF(23, 18.5), QPointF(23, 23.5));
    p.drawPoint(QPointF(23, 27));
}

void drawTrayStopped(QPainter &p)
{
    badge(p, QColor(110, 110, 110));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(19.5, 19.5, 7, 7));
}

void drawTrayUnreadable(QPainter &p)
{
    badge(p, QColor(225, 135, 20));
    questionMark(p, QRectF(15, 15, 16, 16), 13);
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// An .ico file whose images are stored as PNG, one per size.
bool writeIco(const QString &path, const Draw &draw, const QList<int> &sizes)
{
    QByteArray header(6, 0), directory, data;
    qToLittleEndian<quint16>(1, header.data() + 2);
    qToLittleEndian<quint16>(quint16(sizes.size()), header.data() + 4);
    quint32 offset = quint32(6 + 16 * sizes.size());
    for (int size : sizes) {
        const QByteArray image = png(render(draw, size));
        QByteArray entry(16, 0);
        entry[0] = char(size >= 256 ? 0 : size);
        entry[1] = char(size >= 256 ? 0 : size);
        qToLittleEndian<quint16>(1, entry.data() + 4);  // planes
        qToLittleEndian<quint16>(32, entry.data() + 6); // bits per pixel
        qToLittleEndian<quint32>(quint32(image.size()), entry.data() + 8);
        qToLittleEndian<quint32>(offset, entry.data() + 12);
        offset += quint32(image.size());
        directory += entry;
        data += image;
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(header + directory + data) == offset;
}

// The sizes desktops ask an application icon theme for.
bool writeHicolor(const QString &dir)
{
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(dir, QString::number(size));
        if (!QDir().mkpath(folder) || !render(drawDb, size).save(folder + "/sarpanel.png", "PNG"))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--hicolor")
        return writeHicolor(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    const QList<QPair<QString, Draw>> icons = {{"add", drawAdd},
                                               {"del", drawDel},
                                               {"save", drawSave},
                                               {"tutup", drawTutup},
                                               {"folder", drawFolder},
                                               {"play", drawPlay},
                                               {"stop", drawStop},
                                               {"help", drawHelp},
                                               {"db", drawDb},
                                               {"ok", drawOk},
                                               {"tray-baik", drawTrayGood},
                                               {"tray-gagal", drawTrayFailed},
                                               {"tray-mati", drawTrayStopped},
                                               {"tray-rusak", drawTrayUnreadable}};
    for (const auto &icon : icons) {
        if (!render(icon.second, 32).save(out + "/" + icon.first + ".png", "PNG"))
            return 1;
    }
    return writeIco(out + "/db.ico", drawDb, {16, 20, 24, 32, 40, 48, 64, 96, 256}) ? 0 : 1;
}

// Draws the three mode pictures and the program icon, and writes them as the exact file formats
// the resources need: 24-bit uncompressed BMP, and a 16 x 16 ICO with a 256-colour palette and
// an AND mask. Qt's own writers are not used, as they choose other variants of both formats.
// The same icon goes to the Linux menus as hicolor PNGs and a scalable SVG (icons/hicolor/).
//
//     draw_pictures <output folder>
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRadialGradient>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kPictureSide = 162;
constexpr int kIconSide = 16;

class ByteWriter {
  public:
    void U8(std::uint32_t value) { bytes_.push_back(static_cast<char>(value & 0xFF)); }
    void U16(std::uint32_t value) {
        U8(value);
        U8(value >> 8);
    }
    void U32(std::uint32_t value) {
        U16(value);
        U16(value >> 16);
    }
    void Zeros(std::size_t count) { bytes_.append(count, '\0'); }
    const std::string& bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

void WriteInfoHeader(ByteWriter& out, int width, int height, int bits, std::uint32_t image_size,
                     std::uint32_t colours_used) {
    out.U32(40);  // BITMAPINFOHEADER
    out.U32(static_cast<std::uint32_t>(width));
    out.U32(static_cast<std::uint32_t>(height));
    out.U16(1);  // planes
    out.U16(static_cast<std::uint32_t>(bits));
    out.U32(0);  // BI_RGB
    out.U32(image_size);
    out.U32(3780);  // 96 dpi in pixels per metre
    out.U32(3780);
    out.U32(colours_used);
    out.U32(0);
}

int RowStride(int width, int bits) {
    return ((width * bits + 31) / 32) * 4;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "draw_pictures: cannot write %s\n", path.c_str());
    }
    return static_cast<bool>(file);
}

bool WriteBmp24(const QImage& image, const std::string& path) {
    const int stride = RowStride(image.width(), 24);
    const auto image_size = static_cast<std::uint32_t>(stride * image.height());
    ByteWriter out;
    out.U16(0x4D42);  // "BM"
    out.U32(14 + 40 + image_size);
    out.U32(0);
    out.U32(14 + 40);
    WriteInfoHeader(out, image.width(), image.height(), 24, image_size, 0);
    for (int y = image.height() - 1; y >= 0; --y) {  // bottom-up
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            out.U8(static_cast<std::uint32_t>(qBlue(pixel)));
            out.U8(static_cast<std::uint32_t>(qGreen(pixel)));
            out.U8(static_cast<std::uint32_t>(qRed(pixel)));
        }
        out.Zeros(static_cast<std::size_t>(stride - image.width() * 3));
    }
    return WriteFile(path, out.bytes());
}

// Pixels with alpha below one half are transparent (AND mask bit set, palette index 0).
bool WriteIco8(const QImage& image, const std::string& path) {
    const int side = image.width();
    std::vector<QRgb> palette{qRgb(0, 0, 0)};
    std::vector<std::uint8_t> indexes;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) < 128) {
                indexes.push_back(0);
                continue;
            }
            const QRgb opaque = qRgb(qRed(pixel), qGreen(pixel), qBlue(pixel));
            std::size_t index = 1;
            while (index < palette.size() && palette[index] != opaque) {
                ++index;
            }
            if (index == palette.size()) {
                palette.push_back(opaque);
            }
            indexes.push_back(static_cast<std::uint8_t>(index));
        }
    }
    if (palette.size() > 256) {
        std::fprintf(stderr, "draw_pictures: icon has more than 256 colours\n");
        return false;
    }
    palette.resize(256, qRgb(0, 0, 0));

    const int xor_stride = RowStride(side, 8);
    const int and_stride = RowStride(side, 1);
    const auto image_size = static_cast<std::uint32_t>((xor_stride + and_stride) * side);
    const std::uint32_t resource_size = 40 + 256 * 4 + image_size;

    ByteWriter out;
    out.U16(0);  // ICONDIR
    out.U16(1);  // icon
    out.U16(1);  // one image
    out.U8(static_cast<std::uint32_t>(side));
    out.U8(static_cast<std::uint32_t>(side));
    out.U8(0);  // 256 colours
    out.U8(0);
    out.U16(1);  // planes
    out.U16(8);  // bits per pixel
    out.U32(resource_size);
    out.U32(6 + 16);
    WriteInfoHeader(out, side, side * 2, 8, image_size, 256);  // height counts XOR and AND
    for (const QRgb colour : palette) {
        out.U8(static_cast<std::uint32_t>(qBlue(colour)));
        out.U8(static_cast<std::uint32_t>(qGreen(colour)));
        out.U8(static_cast<std::uint32_t>(qRed(colour)));
        out.U8(0);
    }
    for (int y = side - 1; y >= 0; --y) {
        for (int x = 0; x < side; ++x) {
            out.U8(indexes[static_cast<std::size_t>(y * side + x)]);
        }
        out.Zeros(static_cast<std::size_t>(xor_stride - side));
    }
    for (int y = side - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(and_stride), 0);
        for (int x = 0; x < side; ++x) {
            if (qAlpha(image.pixel(x, y)) < 128) {
                row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
        for (const std::uint8_t byte : row) {
            out.U8(byte);
        }
    }
    return WriteFile(path, out.bytes());
}

// The USB trident, lying on its side, in a 100 x 60 box: plug end at the left, arrow at the
// right, the upper branch ending in a circle and the lower one in a square.
QPainterPath UsbSymbol(qreal line_width) {
    QPainterPath lines;
    lines.moveTo(10, 30);
    lines.lineTo(86, 30);
    lines.moveTo(30, 30);
    lines.lineTo(42, 15);
    lines.lineTo(58, 15);
    lines.moveTo(46, 30);
    lines.lineTo(58, 45);
    lines.lineTo(70, 45);

    QPainterPathStroker stroker;
    stroker.setWidth(line_width);
    stroker.setCapStyle(Qt::FlatCap);
    stroker.setJoinStyle(Qt::MiterJoin);
    QPainterPath shape = stroker.createStroke(lines);

    QPainterPath solids;
    solids.addEllipse(QPointF(10, 30), 9, 9);
    solids.addEllipse(QPointF(62, 15), 6.5, 6.5);
    solids.addRect(QRectF(68, 38.5, 13, 13));
    QPolygonF arrow;
    arrow << QPointF(100, 30) << QPointF(83, 20) << QPointF(83, 40) << QPointF(100, 30);
    solids.addPolygon(arrow);
    return shape.united(solids).simplified();
}

struct GradientStop {
    qreal at;
    QRgb colour;
};
constexpr GradientStop kCopper[] = {{0.0, 0xE0945C}, {0.5, 0xC06E36}, {1.0, 0x934A1E}};
constexpr QRgb kLitEdge = 0xF4B886;
constexpr QRgb kShadedEdge = 0x6E3412;
constexpr GradientStop kSteel[] = {{0.0, 0xEEEFF0}, {1.0, 0xA4A8AC}};
constexpr QRgb kSteelOutline = 0x3C3F42;
constexpr qreal kSymbolLineWidth = 6.5;
constexpr qreal kSymbolOutlineWidth = 1.3;
constexpr qreal kSymbolShadowOffset = 1.6;

// A raised edge: light along the top and left, dark along the bottom and right.
QPolygonF LitEdge(qreal side) {
    const qreal bevel = side / 27;
    QPolygonF light;
    light << QPointF(0, 0) << QPointF(side, 0) << QPointF(side - bevel, bevel)
          << QPointF(bevel, bevel) << QPointF(bevel, side - bevel) << QPointF(0, side);
    return light;
}

QPolygonF ShadedEdge(qreal side) {
    const qreal bevel = side / 27;
    QPolygonF dark;
    dark << QPointF(side, side) << QPointF(0, side) << QPointF(bevel, side - bevel)
         << QPointF(side - bevel, side - bevel) << QPointF(side - bevel, bevel) << QPointF(side, 0);
    return dark;
}

void DrawTile(QPainter& painter, qreal side) {
    QLinearGradient copper(0, 0, side, side);
    for (const GradientStop& stop : kCopper)
        copper.setColorAt(stop.at, QColor(stop.colour));
    painter.fillRect(QRectF(0, 0, side, side), copper);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(kLitEdge));
    painter.drawPolygon(LitEdge(side));
    painter.setBrush(QColor(kShadedEdge));
    painter.drawPolygon(ShadedEdge(side));
}

void DrawUsbSymbol(QPainter& painter, const QRectF& box) {
    painter.save();
    painter.translate(box.topLeft());
    painter.scale(box.width() / 100, box.height() / 60);
    const QPainterPath symbol = UsbSymbol(kSymbolLineWidth);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x5A, 0x2C, 0x10, 110));  // shadow cast on the copper
    painter.drawPath(symbol.translated(kSymbolShadowOffset, kSymbolShadowOffset));

    QLinearGradient steel(0, 5, 0, 55);
    for (const GradientStop& stop : kSteel)
        steel.setColorAt(stop.at, QColor(stop.colour));
    painter.setBrush(steel);
    painter.setPen(QPen(QColor(kSteelOutline), kSymbolOutlineWidth));
    painter.drawPath(symbol);
    painter.restore();
}

void DrawBadgeRing(QPainter& painter, QPointF centre, qreal radius) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x40, 0x1C, 0x08, 90));
    painter.drawEllipse(centre + QPointF(2, 2), radius + 3, radius + 3);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, radius + 3, radius + 3);
}

void DrawNoEntryBadge(QPainter& painter, QPointF centre, qreal radius) {
    DrawBadgeRing(painter, centre, radius);
    QRadialGradient fire(centre - QPointF(radius * 0.35, radius * 0.35), radius * 1.3);
    fire.setColorAt(0.0, QColor(0xFF, 0xA5, 0x2C));
    fire.setColorAt(0.55, QColor(0xF2, 0x6A, 0x1B));
    fire.setColorAt(1.0, QColor(0xC8, 0x1E, 0x14));
    painter.setBrush(fire);
    painter.setPen(QPen(QColor(0xA3, 0x12, 0x0C), 2));
    painter.drawEllipse(centre, radius, radius);

    const QRectF bar(centre.x() - radius * 0.68, centre.y() - radius * 0.2, radius * 1.36,
                     radius * 0.4);
    painter.setPen(QPen(QColor(0xA3, 0x12, 0x0C), 1));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(bar, 2, 2);
}

void DrawPadlockBadge(QPainter& painter, QPointF centre, qreal size) {
    const QColor outline(0x5C, 0x45, 0x00);
    const qreal body_width = size * 0.82;
    const qreal body_height = size * 0.6;
    const QRectF body(centre.x() - body_width / 2, centre.y() - body_height * 0.2, body_width,
                      body_height);

    // The shackle: a steel arch rising from the body.
    const qreal arch_width = body_width * 0.62;
    const QRectF arch(centre.x() - arch_width / 2, body.top() - size * 0.42, arch_width,
                      size * 0.7);
    QPainterPath shackle;
    shackle.moveTo(arch.left(), body.top() + 2);
    shackle.lineTo(arch.left(), arch.top() + arch_width / 2);
    shackle.arcTo(QRectF(arch.left(), arch.top(), arch_width, arch_width), 180, -180);
    shackle.lineTo(arch.right(), body.top() + 2);
    QPainterPathStroker stroker;
    stroker.setWidth(size * 0.13);
    stroker.setCapStyle(Qt::FlatCap);
    const QPainterPath shackle_shape = stroker.createStroke(shackle);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x40, 0x1C, 0x08, 100));
    painter.drawPath(shackle_shape.translated(2, 2));
    painter.drawRoundedRect(body.translated(2, 2), size * 0.08, size * 0.08);

    QLinearGradient steel(arch.left(), 0, arch.right(), 0);
    steel.setColorAt(0.0, QColor(0xB8, 0xBC, 0xC0));
    steel.setColorAt(0.45, QColor(0xF2, 0xF3, 0xF4));
    steel.setColorAt(1.0, QColor(0x90, 0x94, 0x98));
    painter.setPen(QPen(QColor(0x3C, 0x3F, 0x42), 1.2));
    painter.setBrush(steel);
    painter.drawPath(shackle_shape);

    QLinearGradient gold(0, body.top(), 0, body.bottom());
    gold.setColorAt(0.0, QColor(0xFF, 0xEA, 0x6A));
    gold.setColorAt(0.5, QColor(0xFB, 0xCB, 0x1C));
    gold.setColorAt(1.0, QColor(0xD9, 0x9A, 0x06));
    painter.setPen(QPen(outline, 1.6));
    painter.setBrush(gold);
    painter.drawRoundedRect(body, size * 0.08, size * 0.08);

    // Keyhole.
    const QPointF hole(centre.x(), body.top() + body_height * 0.4);
    QPainterPath keyhole;
    keyhole.addEllipse(hole, size * 0.07, size * 0.07);
    QPolygonF slot;
    slot << hole << QPointF(hole.x() - size * 0.05, hole.y() + size * 0.17)
         << QPointF(hole.x() + size * 0.05, hole.y() + size * 0.17) << hole;
    keyhole.addPolygon(slot);
    painter.setPen(Qt::NoPen);
    painter.setBrush(outline);
    painter.drawPath(keyhole.simplified());
}

enum class Badge { kNone, kNoEntry, kPadlock };

QImage DrawModePicture(Badge badge) {
    QImage image(kPictureSide, kPictureSide, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawTile(painter, kPictureSide);
    DrawUsbSymbol(painter, QRectF(18, 22, 118, 70.8));
    const QPointF badge_centre(kPictureSide - 40, kPictureSide - 40);
    if (badge == Badge::kNoEntry) {
        DrawNoEntryBadge(painter, badge_centre, 27);
    } else if (badge == Badge::kPadlock) {
        DrawPadlockBadge(painter, badge_centre, 58);
    }
    return image;
}

// At 16 pixels a drawn trident blurs into the tile, so the icon is set pixel by pixel.
QImage DrawIcon() {
    static constexpr const char* kPixels[kIconSide] = {
        ".DDDDDDDDDDDDDD.",  //
        "DhhhhhhhhhhhhheD",  //
        "DhcccccccccccceD",  //
        "DhcccccccccccceD",  //
        "DhcccccccwwccceD",  // upper branch ends in a dot
        "DhccccccwwwccceD",  //
        "DhcccccwcccccceD",  //
        "DhgwgcwccccwgceD",  // plug end and arrow head
        "DhwwwwwwwwwwwweD",  // shaft
        "DhgwgccwcccwgceD",  //
        "DhccccccwwwccceD",  // lower branch ends in a square
        "DhcccccccwwccceD",  //
        "DhcccccccccccceD",  //
        "DhcccccccccccceD",  //
        "DheeeeeeeeeeeeeD",  //
        ".DDDDDDDDDDDDDD.",  //
    };
    struct Ink {
        char key;
        QRgb colour;
    };
    static constexpr Ink kInks[] = {
        {'D', 0xFF6E3412},  // edge
        {'h', 0xFFE8A06A},  // lit copper
        {'c', 0xFFC47238},  // copper
        {'e', 0xFF944A1E},  // shaded copper
        {'w', 0xFFF2F2F2},  // trident
        {'g', 0xFFDBB295},  // trident's rounded edge
    };
    QImage image(kIconSide, kIconSide, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    for (int y = 0; y < kIconSide; ++y) {
        for (int x = 0; x < kIconSide; ++x) {
            for (const Ink& ink : kInks) {
                if (ink.key == kPixels[y][x]) {
                    image.setPixel(x, y, ink.colour);
                }
            }
        }
    }
    return image;
}

// Above 16 pixels there is room to draw the tile and the trident as the mode pictures do.
constexpr qreal kIconSymbolWidth = 0.78;  // of the side

QRectF IconSymbolBox(qreal side) {
    const qreal width = side * kIconSymbolWidth;
    const qreal height = width * 0.6;
    return {(side - width) / 2, (side - height) / 2, width, height};
}

QImage DrawLargeIcon(int side) {
    QImage image(side, side, QImage::Format_ARGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    DrawTile(painter, side);
    DrawUsbSymbol(painter, IconSymbolBox(side));
    return image;
}

std::string SvgColour(QRgb colour) {
    return QColor(colour).name().toStdString();
}

std::string SvgPoints(const QPolygonF& polygon) {
    std::ostringstream points;
    for (const QPointF& point : polygon)
        points << point.x() << ',' << point.y() << ' ';
    return points.str();
}

std::string SvgPathData(const QPainterPath& path) {
    std::ostringstream data;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element element = path.elementAt(i);
        if (element.isMoveTo())
            data << 'M';
        else if (element.isLineTo())
            data << 'L';
        else if (element.isCurveTo())
            data << 'C';
        data << element.x << ' ' << element.y << ' ';
    }
    return data.str();
}

template <std::size_t kCount>
std::string SvgStops(const GradientStop (&stops)[kCount]) {
    std::string text;
    for (const GradientStop& stop : stops)
        text += "<stop offset=\"" + QString::number(stop.at).toStdString() + "\" stop-color=\"" +
                SvgColour(stop.colour) + "\"/>";
    return text;
}

// The large icon as vectors: the same tile, edge and trident, on a 256-unit canvas.
std::string DrawSvgIcon() {
    constexpr qreal kSide = 256;
    const QRectF box = IconSymbolBox(kSide);
    const QPainterPath symbol = UsbSymbol(kSymbolLineWidth);
    const char* fill_rule = symbol.fillRule() == Qt::OddEvenFill ? "evenodd" : "nonzero";
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
           "viewBox=\"0 0 256 256\">\n<defs>\n<linearGradient id=\"copper\" "
           "gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\"0\" x2=\"256\" y2=\"256\">"
        << SvgStops(kCopper)
        << "</linearGradient>\n<linearGradient id=\"steel\" gradientUnits=\"userSpaceOnUse\" "
           "x1=\"0\" y1=\"5\" x2=\"0\" y2=\"55\">"
        << SvgStops(kSteel) << "</linearGradient>\n</defs>\n";
    svg << "<rect width=\"256\" height=\"256\" fill=\"url(#copper)\"/>\n";
    svg << "<polygon fill=\"" << SvgColour(kLitEdge) << "\" points=\"" << SvgPoints(LitEdge(kSide))
        << "\"/>\n";
    svg << "<polygon fill=\"" << SvgColour(kShadedEdge) << "\" points=\""
        << SvgPoints(ShadedEdge(kSide)) << "\"/>\n";
    svg << "<g transform=\"translate(" << box.left() << ' ' << box.top() << ") scale("
        << box.width() / 100 << ' ' << box.height() / 60 << ")\" fill-rule=\"" << fill_rule
        << "\">\n";
    svg << "<path fill=\"#5a2c10\" fill-opacity=\"0.43\" transform=\"translate("
        << kSymbolShadowOffset << ' ' << kSymbolShadowOffset << ")\" d=\"" << SvgPathData(symbol)
        << "\"/>\n";
    svg << "<path fill=\"url(#steel)\" stroke=\"" << SvgColour(kSteelOutline)
        << "\" stroke-width=\"" << kSymbolOutlineWidth << "\" d=\"" << SvgPathData(symbol)
        << "\"/>\n</g>\n</svg>\n";
    return svg.str();
}

bool WriteHicolorIcons(const std::filesystem::path& folder) {
    const std::filesystem::path hicolor = folder / "icons" / "hicolor";
    for (const int side : {16, 32, 48, 128, 256}) {
        const std::string size = std::to_string(side) + "x" + std::to_string(side);
        const std::filesystem::path apps = hicolor / size / "apps";
        std::filesystem::create_directories(apps);
        const QImage icon = side == kIconSide ? DrawIcon() : DrawLargeIcon(side);
        const std::string path = (apps / "varnholt.png").string();
        if (!icon.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "draw_pictures: cannot write %s\n", path.c_str());
            return false;
        }
    }
    const std::filesystem::path scalable = hicolor / "scalable" / "apps";
    std::filesystem::create_directories(scalable);
    return WriteFile((scalable / "varnholt.svg").string(), DrawSvgIcon());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_pictures <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const bool written = WriteBmp24(DrawModePicture(Badge::kNoEntry), folder + "/disable.bmp") &&
                         WriteBmp24(DrawModePicture(Badge::kPadlock), folder + "/readonly.bmp") &&
                         WriteBmp24(DrawModePicture(Badge::kNone), folder + "/rw.bmp") &&
                         WriteIco8(DrawIcon(), folder + "/varnholt.ico") &&
                         WriteHicolorIcons(folder);
    return written ? 0 : 1;
}

// corvane_snap <file.png>: saves the screen of the X display in $DISPLAY, cut to the part
// that windows cover (the empty background around them is left out). Exits with 2 when
// the picture is blank (fewer than 16 colours), so a script notices an empty screen.

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane_snap <file.png>\n");
        return 1;
    }
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        std::fprintf(stderr, "corvane_snap: no screen\n");
        return 1;
    }
    QImage image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb background = image.pixel(0, 0);
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (line[x] == background)
                continue;
            if (colours.size() < 64)
                colours.insert(line[x]);
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (right >= left)
        image = image.copy(left, top, right - left + 1, bottom - top + 1);
    if (!image.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "corvane_snap: cannot write %s\n", argv[1]);
        return 1;
    }
    if (colours.size() < 16) {
        std::fprintf(stderr, "corvane_snap: %s is blank\n", argv[1]);
        return 2;
    }
    return 0;
}

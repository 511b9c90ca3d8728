// The face at a scale of 1.5 (144 DPI): every length is 1.5 times its
// 96-DPI value, so the client area is 690 x 762 device pixels.
#include "ui/phone_face.h"

#include <QAbstractButton>
#include <QtTest/QtTest>

class ScaledFaceTest : public QObject {
    Q_OBJECT
private slots:
    void clientAreaAtOneAndAHalf()
    {
        ui::PhoneFace face;
        face.setStateSource([] { return ui::FaceState {}; });
        const QPixmap shot = face.grab();
        QCOMPARE(shot.devicePixelRatio(), 1.5);
        QCOMPARE(shot.size(), QSize(690, 762));
        const QRect call = face.button(1002)->geometry();
        QCOMPARE(QRectF(call.topLeft() * 1.5, call.size() * 1.5).toRect(), QRect(110, 576, 138, 138));
    }
};

int main(int argc, char** argv)
{
    qputenv("QT_SCALE_FACTOR", "1.5");
    QApplication app(argc, argv);
    ScaledFaceTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_face_scaled.moc"

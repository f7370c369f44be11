#include "capture/TlmFrmGrb.h"

#include "capture/TlmUtil.h"
#include "platform/dshow/MediaTypes.h"
#include "platform/dshow/OleTypes.h"

#include <cstring>
#include <memory>
#include <utility>

namespace {

// Holds a BSTR for the length of a call.
struct BStr {
    BSTR s = nullptr;
    explicit BStr(const QString& text)
        : s(SysAllocStringLen(reinterpret_cast<const WCHAR*>(text.utf16()), UINT(text.size())))
    {
    }
    BStr() = default;
    ~BStr() { SysFreeString(s); }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
};

// The detector's picture: a BITMAPINFOHEADER, then 24-bit BGR rows padded to
// four bytes, bottom row first unless the height is negative. A picture that
// does not fit the buffer it came in is refused rather than read past its end.
QImage PictureFromDib(const char* buffer, LONG size)
{
    if (size < LONG(sizeof(BITMAPINFOHEADER)))
        throw EExternalException(E_UNEXPECTED);
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, buffer, sizeof bih);
    const qint64 width = bih.biWidth;
    const bool bottomUp = bih.biHeight > 0;
    const qint64 height = bottomUp ? qint64(bih.biHeight) : -qint64(bih.biHeight);
    if (bih.biSize < sizeof(BITMAPINFOHEADER) || bih.biBitCount != 24 || bih.biCompression != BI_RGB ||
        width <= 0 || height <= 0 || width > 65536 || height > 65536)
        throw EExternalException(E_UNEXPECTED);
    const qint64 stride = (width * 3 + 3) & ~qint64(3);
    if (qint64(sizeof(BITMAPINFOHEADER)) + stride * height > qint64(size))
        throw EExternalException(E_UNEXPECTED);

    const auto* pixels = reinterpret_cast<const unsigned char*>(buffer) + sizeof(BITMAPINFOHEADER);
    QImage image(int(width), int(height), QImage::Format_RGB32);
    if (image.isNull())
        throw EExternalException(E_OUTOFMEMORY);
    for (int y = 0; y < int(height); ++y) {
        const unsigned char* src = pixels + stride * (bottomUp ? height - 1 - y : y);
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < int(width); ++x, src += 3)
            dst[x] = qRgb(src[2], src[1], src[0]);
    }
    return image;
}

} // namespace

TTlmFramesGrabber::TTlmFramesGrabber(QObject* Owner) : QObject(Owner)
{
    CreateMediaDet();
}

TTlmFramesGrabber::~TTlmFramesGrabber()
{
    ReleaseMediaDet();
}

bool TTlmFramesGrabber::GrabFrame(const QString& FileName, QImage& Bitmap, std::int64_t Frame)
{
    if (!FMediaDet)
        return false;
    SetFileName(FileName);
    SelectStream(MEDIATYPE_Video);
    return GetBitmap(Bitmap, FrameToTime(Frame));
}

bool TTlmFramesGrabber::GetBitmap(QImage& Bitmap, double StreamTime)
{
    if (!FMediaDet)
        return false;
    LONG size = 0;
    CheckHResult(FMediaDet->GetBitmapBits(StreamTime, &size, nullptr, BitmapWidth, BitmapHeight));
    if (size <= 0)
        throw EExternalException(E_UNEXPECTED);
    auto buffer = std::make_unique<char[]>(std::size_t(size));
    CheckHResult(FMediaDet->GetBitmapBits(StreamTime, nullptr, buffer.get(), BitmapWidth, BitmapHeight));
    Bitmap = PictureFromDib(buffer.get(), size);
    return true;
}

double TTlmFramesGrabber::FrameToTime(std::int64_t Frame) const
{
    if (FFrameRate == 0)
        return 0.0;
    return double(Frame) / FFrameRate;
}

void TTlmFramesGrabber::SelectStream(const GUID& MajorType)
{
    if (!FMediaDet || FFileName.isEmpty() || FStreamIndex >= 0)
        return;
    LONG count = 0;
    CheckHResult(FMediaDet->get_OutputStreams(&count));
    for (LONG i = 0; i < count; ++i) {
        CheckHResult(FMediaDet->put_CurrentStream(i));
        GUID type{};
        CheckHResult(FMediaDet->get_StreamType(&type));
        if (SameGUID(type, MajorType)) {
            FStreamIndex = int(i);
            double rate = 0;
            CheckHResult(FMediaDet->get_FrameRate(&rate));
            FFrameRate = rate;
            return;
        }
    }
}

QString TTlmFramesGrabber::GetFileName() const
{
    if (!FMediaDet)
        return QString();
    BStr name;
    if (FAILED(FMediaDet->get_Filename(&name.s)) || !name.s)
        return QString();
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(name.s), qsizetype(SysStringLen(name.s)));
}

// File names compare exactly: two names that differ in letter case are two files here.
void TTlmFramesGrabber::SetFileName(const QString& Name)
{
    if (!FMediaDet || GetFileName() == Name)
        return;
    if (!FFileName.isEmpty()) {
        FFileName.clear();
        RecreateMediaDet();
    }
    BStr name(Name);
    if (FMediaDet->put_Filename(name.s) == S_OK)
        FFileName = Name;
}

void TTlmFramesGrabber::CreateMediaDet()
{
    FMediaDet.Reset();
    CheckHResult(CoCreateInstance(CLSID_MediaDet, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, IID_IMediaDet,
                                  FMediaDet.ReleaseAndGetVoidAddressOf()));
}

void TTlmFramesGrabber::ReleaseMediaDet()
{
    FMediaDet.Reset();
    FStreamIndex = -1;
}

// The file that was open is opened again on the fresh detector.
void TTlmFramesGrabber::RecreateMediaDet()
{
    const QString name = std::exchange(FFileName, QString());
    ReleaseMediaDet();
    CreateMediaDet();
    if (!name.isEmpty())
        SetFileName(name);
}

// The pages of a TIFF as the Windows Imaging Component reads them: the
// fields a fax page is judged by (fax_page.cpp judges), and every page
// decoded whole, as the device would have to.
#include <windows.h>
#include <wincodec.h>

#include <string>
#include <vector>

#include "tools/documents/fax_page.h"

namespace doc {
namespace {

// An interface pointer released on every path.
template <typename T>
class Ref {
public:
    Ref() = default;
    ~Ref() {
        if (p_) p_->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T** out() { return &p_; }
    T* operator->() const { return p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

// COM for this thread while the reader runs, when the caller has not set
// it up already.
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT hr_;
};

std::string Hex(HRESULT hr) {
    char text[16];
    wsprintfA(text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// A TIFF field of the page's directory (tag `tag`), as an unsigned number.
// False when the page has no such field.
bool Field(IWICMetadataQueryReader* query, unsigned tag, std::uint32_t& value) {
    wchar_t name[32];
    wsprintfW(name, L"/ifd/{ushort=%u}", tag);
    PROPVARIANT v;
    PropVariantInit(&v);
    if (FAILED(query->GetMetadataByName(name, &v))) return false;
    bool found = true;
    switch (v.vt) {
        case VT_UI1: value = v.bVal; break;
        case VT_UI2: value = v.uiVal; break;
        case VT_UI4: value = v.ulVal; break;
        case VT_UI1 | VT_VECTOR: found = v.caub.cElems > 0; if (found) value = v.caub.pElems[0]; break;
        case VT_UI2 | VT_VECTOR: found = v.caui.cElems > 0; if (found) value = v.caui.pElems[0]; break;
        case VT_UI4 | VT_VECTOR: found = v.caul.cElems > 0; if (found) value = v.caul.pElems[0]; break;
        default: found = false; break;
    }
    PropVariantClear(&v);
    return found;
}

std::uint16_t Short(std::uint32_t value) { return value > 0xFFFF ? 0xFFFF : static_cast<std::uint16_t>(value); }

}  // namespace

const char* TiffReaderName() { return "the Windows Imaging Component"; }

TiffRead ReadTiffPages(const std::string& path, std::vector<TiffPage>& pages, std::string& error) {
    pages.clear();
    ComScope com;
    Ref<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.out()));
    if (FAILED(hr)) {
        error = "the Windows Imaging Component is not available (" + Hex(hr) + ")";
        return TiffRead::NoReader;
    }
    // The path is in the ANSI code page, as the command takes every name.
    const int wide_length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(wide_length > 0 ? static_cast<std::size_t>(wide_length) : 1, L'\0');
    if (wide_length <= 0 || !MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), wide_length)) {
        error = "cannot convert the file name";
        return TiffRead::Unreadable;
    }
    Ref<IWICBitmapDecoder> decoder;
    hr = factory->CreateDecoderFromFilename(wide.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                            decoder.out());
    GUID container{};
    if (FAILED(hr) || FAILED(decoder->GetContainerFormat(&container)) || container != GUID_ContainerFormatTiff) {
        error = "the Windows Imaging Component cannot read it as a TIFF image (" + Hex(hr) + ")";
        return TiffRead::Unreadable;
    }
    UINT frames = 0;
    if (FAILED(hr = decoder->GetFrameCount(&frames))) {
        error = "the Windows Imaging Component cannot count its pages (" + Hex(hr) + ")";
        return TiffRead::Unreadable;
    }
    for (UINT i = 0; i < frames; ++i) {
        const std::string page = "page " + std::to_string(i + 1);
        Ref<IWICBitmapFrameDecode> frame;
        Ref<IWICMetadataQueryReader> query;
        UINT width = 0, height = 0;
        double xdpi = 0, ydpi = 0;
        if (FAILED(hr = decoder->GetFrame(i, frame.out())) || FAILED(hr = frame->GetSize(&width, &height)) ||
            FAILED(hr = frame->GetResolution(&xdpi, &ydpi)) || FAILED(hr = frame->GetMetadataQueryReader(query.out()))) {
            error = page + " cannot be read (" + Hex(hr) + ")";
            return TiffRead::Unreadable;
        }
        TiffPage p;
        p.width = width;
        p.height = height;
        p.xdpi = xdpi;
        p.ydpi = ydpi;
        // The fields as the page gives them; TIFF's defaults where it gives
        // none (no compression, one sample of one bit).
        std::uint32_t value = 0;
        if (Field(query.get(), 259, value)) p.compression = Short(value);
        if (Field(query.get(), 258, value)) p.bits_per_sample = Short(value);
        if (Field(query.get(), 277, value)) p.samples_per_pixel = Short(value);
        if (Field(query.get(), 262, value)) p.photometric = Short(value);
        p.tiled = Field(query.get(), 322, value);  // TileWidth
        // Decoded whole, in the component's own pixel format: a page that
        // does not decode cannot be faxed either.
        WICPixelFormatGUID format{};
        UINT bits = 0;
        Ref<IWICComponentInfo> info;
        Ref<IWICPixelFormatInfo> format_info;
        if (FAILED(hr = frame->GetPixelFormat(&format)) ||
            FAILED(hr = factory->CreateComponentInfo(format, info.out())) ||
            FAILED(hr = info->QueryInterface(IID_IWICPixelFormatInfo, reinterpret_cast<void**>(format_info.out()))) ||
            FAILED(hr = format_info->GetBitsPerPixel(&bits)) || bits == 0) {
            error = page + " has a pixel format that cannot be read (" + Hex(hr) + ")";
            return TiffRead::Unreadable;
        }
        const unsigned long long stride = (static_cast<unsigned long long>(width) * bits + 7) / 8;
        const unsigned long long size = stride * height;
        if (stride > 0xFFFFFFFFull || size > (256ull << 20)) {
            error = page + " is too large to decode (" + std::to_string(width) + " x " + std::to_string(height) + ")";
            return TiffRead::Unreadable;
        }
        std::vector<BYTE> pixels(static_cast<std::size_t>(size ? size : 1));
        if (size && FAILED(hr = frame->CopyPixels(nullptr, static_cast<UINT>(stride), static_cast<UINT>(size),
                                                  pixels.data()))) {
            error = page + " cannot be decoded (" + Hex(hr) + ")";
            return TiffRead::Unreadable;
        }
        pages.push_back(p);
    }
    return TiffRead::Ok;
}

}  // namespace doc

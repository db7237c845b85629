#include "tests/support/picture_file.h"

#include <wincodec.h>

#include "common/com_ptr.h"

namespace plovane::testing {

Picture ReadPng(const std::wstring& path) {
    Picture picture;
    com_ptr<IWICImagingFactory> factory;
    com_ptr<IWICBitmapDecoder> decoder;
    com_ptr<IWICBitmapFrameDecode> frame;
    com_ptr<IWICFormatConverter> converter;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, factory.put_void())) ||
        FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, decoder.put())) ||
        FAILED(decoder->GetFrame(0, frame.put())) ||
        FAILED(factory->CreateFormatConverter(converter.put())) ||
        FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0,
                                     WICBitmapPaletteTypeCustom))) {
        return picture;
    }
    UINT w = 0, h = 0;
    converter->GetSize(&w, &h);
    std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
    if (FAILED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(pixels.size() * 4),
                                     reinterpret_cast<BYTE*>(pixels.data())))) {
        return picture;
    }
    for (DWORD& p : pixels)
        p &= 0xFFFFFF;
    picture = {static_cast<int>(w), static_cast<int>(h), std::move(pixels)};
    return picture;
}

}  // namespace plovane::testing

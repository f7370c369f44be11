#include "platform/media/MediaClasses.h"

#include "platform/media/AudioRenderer.h"
#include "platform/media/AviMux.h"
#include "platform/media/DVSplitter.h"
#include "platform/media/DVVideoDecoder.h"
#include "platform/media/FileWriter.h"
#include "platform/media/MediaDet.h"
#include "platform/media/VideoRenderer.h"

#include <mutex>

namespace th::media {

void RegisterBuiltinClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const com::BuiltinClass classes[] = {
            {CLSID_DVSplitter, &dshow::CreateBuiltin<CDVSplitter>},
            {CLSID_DVVideoCodec, &dshow::CreateBuiltin<CDVVideoDecoder>},
            {CLSID_MediaDet, &com::CreateAs<CMediaDet>},
            {CLSID_AviDest, &dshow::CreateBuiltin<CAviMux>},
            {CLSID_FileWriter, &dshow::CreateBuiltin<CFileWriter>},
            {CLSID_VideoRenderer, &dshow::CreateBuiltin<CVideoRenderer>},
            {CLSID_DSoundRender, &dshow::CreateBuiltin<CAudioRenderer>},
        };
        com::RegisterBuiltinClasses(classes);
    });
}

} // namespace th::media

#include "platform/media/FileWriter.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace th::media {

CFileWriterInputPin::CFileWriterInputPin(CFileWriter* writer, CCritSec* lock, HRESULT* hr)
    : CRenderedInputPin("File Writer input", writer, lock, hr, u"in"), m_writer(writer)
{
}

HRESULT CFileWriterInputPin::CheckMediaType(const CMediaType* type)
{
    return type && type->majortype == MEDIATYPE_Stream ? S_OK : S_FALSE;
}

HRESULT CFileWriterInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK)
        return hr;
    return m_writer->write(sample);
}

CUnknown* CFileWriter::CreateInstance(IUnknown* outer, HRESULT* hr)
{
    return new CFileWriter(outer, hr);
}

CFileWriter::CFileWriter(IUnknown* outer, HRESULT* hr)
    : CBaseFilter("File Writer", outer, &m_lock, CLSID_FileWriter), m_input(this, &m_lock, hr)
{
}

CFileWriter::~CFileWriter()
{
    std::lock_guard<std::mutex> lock(m_fileLock);
    closeFile();
}

HRESULT CFileWriter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFileSinkFilter)
        return GetInterface(static_cast<IFileSinkFilter*>(this), ppv);
    if (riid == IID_IFileSinkFilter2)
        return GetInterface(static_cast<IFileSinkFilter2*>(this), ppv);
    if (riid == IID_IFileWriteStatus)
        return GetInterface(static_cast<IFileWriteStatus*>(this), ppv);
    if (riid == IID_IFileWriteBehind)
        return GetInterface(static_cast<IFileWriteBehind*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

void CFileWriter::reportError(HRESULT hr, std::string text)
{
    if (SUCCEEDED(m_error)) {
        m_error = hr;
        m_errorText = std::move(text);
    }
    if (!m_errorReported) {
        m_errorReported = true;
        NotifyEvent(EC_ERRORABORT, hr, 0);
    }
}

HRESULT CFileWriter::Pause()
{
    CAutoLock lock(&m_lock);
    if (m_State != State_Stopped)
        return CBaseFilter::Pause();
    HRESULT result = S_OK;
    if (m_input.IsConnected()) {
        std::lock_guard<std::mutex> file(m_fileLock);
        m_error = S_OK;
        m_errorText.clear();
        m_errorReported = false;
        m_end = -1;
        std::string text = "no file name was given";
        if (m_fileName.empty()) {
            result = HRESULT_FROM_WIN32(static_cast<DWORD>(ERROR_INVALID_NAME));
        } else if (const DWORD r = m_file.Create(th::com::Utf16ToUtf8(m_fileName))) {
            result = HRESULT_FROM_WIN32(r);
            text = m_file.FirstErrorText();
        }
        if (FAILED(result))
            reportError(result, std::move(text));
    }
    // Paused even without a file, so that a run does not try again: samples
    // are refused with the error until the next stop.
    const HRESULT hr = CBaseFilter::Pause();
    return FAILED(result) ? result : hr;
}

void CFileWriter::closeFile()
{
    if (!m_file.IsOpen())
        return;
    const std::string path = m_file.Path();
    DWORD r = m_file.Close();
    if (r == 0 && m_end >= 0) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_size > m_end && ::truncate(path.c_str(), m_end) != 0)
            r = riff::Win32ErrorFromErrno(errno);
    }
    if (r != 0 && SUCCEEDED(m_error)) {
        m_error = HRESULT_FROM_WIN32(r);
        m_errorText = "closing " + path;
    }
}

HRESULT CFileWriter::Stop()
{
    CAutoLock lock(&m_lock);
    const HRESULT hr = CBaseFilter::Stop();
    std::lock_guard<std::mutex> file(m_fileLock);
    closeFile();
    return hr;
}

DWORD CFileWriter::writeAt(std::int64_t pos, const std::uint8_t* data, std::size_t n)
{
    std::int64_t end = m_file.Position();
    if (pos > end) {
        if (const DWORD r = m_file.AppendZeros(static_cast<std::size_t>(pos - end)))
            return r;
        end = pos;
    }
    if (pos < end) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), end - pos));
        if (const DWORD r = m_file.Patch(pos, data, k))
            return r;
        data += k;
        n -= k;
    }
    return n ? m_file.Append(data, n) : 0;
}

HRESULT CFileWriter::write(IMediaSample* sample)
{
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)))
        return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (length < 0 || (length > 0 && !data))
        return E_INVALIDARG;
    REFERENCE_TIME start = 0, stop = 0;
    const bool positioned = SUCCEEDED(sample->GetTime(&start, &stop));

    std::lock_guard<std::mutex> lock(m_fileLock);
    if (!m_file.IsOpen())
        return FAILED(m_error) ? m_error : VFW_E_WRONG_STATE;
    if (positioned && start < 0)
        return E_INVALIDARG;
    const std::int64_t pos = positioned ? start : m_file.Position();
    if (length == 0) {
        if (positioned)
            m_end = pos;
        return S_OK;
    }
    if (const DWORD r = writeAt(pos, data, static_cast<std::size_t>(length))) {
        const HRESULT hr = HRESULT_FROM_WIN32(r);
        reportError(hr, m_file.FirstErrorText());
        return hr;
    }
    return S_OK;
}

HRESULT CFileWriter::SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE*)
{
    if (!fileName)
        return E_POINTER;
    if (!fileName[0])
        return E_INVALIDARG;
    CAutoLock lock(&m_lock);
    if (m_State != State_Stopped)
        return VFW_E_NOT_STOPPED;
    m_fileName = th::dshow::ToU16(fileName);
    return S_OK;
}

HRESULT CFileWriter::GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type)
{
    if (!fileName)
        return E_POINTER;
    *fileName = nullptr;
    CAutoLock lock(&m_lock);
    if (type) {
        *type = AM_MEDIA_TYPE{};
        if (m_input.IsConnected() && FAILED(th::dshow::CopyMediaTypeContents(type, m_input.CurrentMediaType())))
            return E_OUTOFMEMORY;
    }
    if (m_fileName.empty())
        return E_FAIL;
    *fileName = th::com::CoTaskStrDup(m_fileName);
    if (!*fileName) {
        if (type)
            th::dshow::FreeMediaTypeContents(*type);
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CFileWriter::SetMode(DWORD flags)
{
    if (flags & ~AM_FILE_OVERWRITE)
        return E_INVALIDARG;
    CAutoLock lock(&m_lock);
    m_mode = flags;
    return S_OK;
}

HRESULT CFileWriter::GetMode(DWORD* flags)
{
    if (!flags)
        return E_POINTER;
    CAutoLock lock(&m_lock);
    *flags = m_mode;
    return S_OK;
}

HRESULT CFileWriter::FlushWrites(LONGLONG* end)
{
    if (!end)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_fileLock);
    *end = m_file.Position();
    if (!m_file.IsOpen())
        return S_OK;
    if (const DWORD r = m_file.Flush()) {
        const HRESULT hr = HRESULT_FROM_WIN32(r);
        reportError(hr, m_file.FirstErrorText());
        *end = m_file.Position();
        return hr;
    }
    return S_OK;
}

HRESULT CFileWriter::GetWriteError(HRESULT* error, LPOLESTR* text)
{
    if (!error || !text)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(m_fileLock);
    *error = m_error;
    *text = m_errorText.empty() ? nullptr : th::com::CoTaskStrDup(th::com::Utf8ToUtf16(m_errorText));
    return m_errorText.empty() || *text ? S_OK : E_OUTOFMEMORY;
}

} // namespace th::media

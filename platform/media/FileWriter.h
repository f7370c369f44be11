#pragma once
// The File Writer (CLSID_FileWriter): one input pin "in" that takes
// MEDIATYPE_Stream samples and writes each at the byte position of its start
// time (after what is there already when it has none), as the AVI Mux sends
// its file. A sample of no bytes at position P means the file ends at P: the
// writer cuts it there when it closes it.
//
// IFileSinkFilter / IFileSinkFilter2: SetFileName stores the name (while
// stopped; VFW_E_NOT_STOPPED otherwise); the file is created when the writer
// leaves the stopped state and closed when it stops. Creating the file
// replaces one of the same name, with AM_FILE_OVERWRITE (the mode the capture
// engine sets) and without it. GetCurFile hands out the name in task memory.
//
// Errors. A file that cannot be created makes Pause (and so the graph's Run)
// fail with HRESULT_FROM_WIN32 of the system's error, and a write that fails
// makes Receive answer likewise; either is raised once per run as
// EC_ERRORABORT (param1 the HRESULT) through the graph, and kept with a text
// that names the file, the operation and the system's message
// (IFileWriteStatus). The writer goes on taking the samples that follow, so
// that the mux can still close the file with valid headers after a failed
// write, and put its indexes where chunks were.
//
// The file is written behind a queue (riff::File): a write that fails there
// is answered by a later sample. IFileWriteBehind tells the mux where the
// file's good data ends then, so that it can take back what came after.

#include "platform/dshow/BaseClasses.h"
#include "platform/riff/RiffFile.h"

#include <mutex>
#include <string>

// Between the AVI Mux and the File Writer behind it.
struct IFileWriteBehind : IUnknown {
    // Waits until what was written is on the disk. S_OK, or the failure of a
    // write behind (HRESULT_FROM_WIN32 of the system's error), with *end set
    // to where the file's good data ends; later samples are written at once.
    virtual HRESULT FlushWrites(LONGLONG* end) = 0;

protected:
    ~IFileWriteBehind() = default;
};
TH_DECLARE_IID(IFileWriteBehind, "6A0F3C52-9E1B-4D5A-8C7E-2B4D19F0A6C3");

namespace th::media {

class CFileWriter;

class CFileWriterInputPin final : public CRenderedInputPin {
public:
    CFileWriterInputPin(CFileWriter* writer, CCritSec* lock, HRESULT* hr);
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Receive(IMediaSample* sample) override;

private:
    CFileWriter* m_writer;
};

class CFileWriter final : public CBaseFilter, public IFileSinkFilter2, public IFileWriteStatus, public IFileWriteBehind {
public:
    static CUnknown* CreateInstance(IUnknown* outer, HRESULT* hr);
    ~CFileWriter() override;

    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : nullptr; }
    HRESULT Stop() override;
    HRESULT Pause() override;

    // IFileSinkFilter
    HRESULT SetFileName(LPCOLESTR fileName, const AM_MEDIA_TYPE* type) override;
    HRESULT GetCurFile(LPOLESTR* fileName, AM_MEDIA_TYPE* type) override;
    // IFileSinkFilter2
    HRESULT SetMode(DWORD flags) override;
    HRESULT GetMode(DWORD* flags) override;
    // IFileWriteStatus: the first failure of this run and its text.
    HRESULT GetWriteError(HRESULT* error, LPOLESTR* text) override;
    // E_NOTIMPL: the bytes it writes are not frames to it.
    HRESULT GetFramesWritten(LONGLONG*) override { return E_NOTIMPL; }
    // IFileWriteBehind
    HRESULT FlushWrites(LONGLONG* end) override;

private:
    friend class CFileWriterInputPin;
    CFileWriter(IUnknown* outer, HRESULT* hr);
    HRESULT write(IMediaSample* sample);
    DWORD writeAt(std::int64_t pos, const std::uint8_t* data, std::size_t n);
    void reportError(HRESULT hr, std::string text);
    void closeFile();

    CCritSec m_lock;
    CFileWriterInputPin m_input;
    std::u16string m_fileName;
    DWORD m_mode = 0;

    std::mutex m_fileLock; // the file and its error state
    riff::File m_file;
    HRESULT m_error = S_OK;     // first failure of this run
    std::string m_errorText;    // its file, operation and system message
    bool m_errorReported = false;
    std::int64_t m_end = -1;    // where the file ends, once a sender said so
};

} // namespace th::media

#pragma once
// The media graph as the capture engine and the AVI writer use it. Include this
// header for the types, the interfaces and the class identifiers; filter
// writers include BaseClasses.h as well. No Qt.
//
// What is provided, and what callers may rely on (nothing more is provided):
//
// Creation (CoCreateInstance, built-in classes of th_dshow):
//   CLSID_FilterGraph -> IGraphBuilder, IMediaControl, IMediaEventEx (one object).
//   CLSID_CaptureGraphBuilder2 -> ICaptureGraphBuilder2.
//   CLSID_SampleGrabber, CLSID_SmartTee, CLSID_NullRenderer -> IBaseFilter.
//   CLSID_SystemDeviceEnum -> ICreateDevEnum; CLSID_FilterMapper2 / CLSID_FilterMapper.
//   The DV splitter and decoder, the audio and video renderers, the AVI Mux, the
//   File Writer and the media detector are made by their class identifiers too,
//   once the layer that serves them is loaded (REGDB_E_CLASSNOTREG before).
//
// Device discovery: ICreateDevEnum::CreateClassEnumerator(category) gives
// S_FALSE and no enumerator for an empty category; IEnumMoniker::Reset and
// Next(1) hand out monikers in order; IMoniker::BindToStorage(IID_IPropertyBag)
// and IPropertyBag::Read("FriendlyName") give a VT_BSTR; BindToObject gives the
// device's IBaseFilter (see DeviceEnum.h for adding devices).
//
// The graph: AddFilter(filter, name) names the filter uniquely in the graph;
// FindFilterByName (exact name, VFW_E_NOT_FOUND); RemoveFilter (stops and
// disconnects the filter first); Connect and ConnectDirect (direct connections
// only, while stopped); Disconnect(pin) breaks one side; EnumFilters.
// IBaseFilter::EnumPins with IEnumPins::Reset/Next(1); IPin::ConnectedTo
// (VFW_E_NOT_CONNECTED) and QueryPinInfo (the filter counted, the direction).
// Querying the graph for IVideoWindow succeeds only while a filter of it has
// one; the calls are passed to that filter.
//
// Running: IMediaControl::Run, Pause and Stop return when every filter has
// changed state (see FilterGraph.cpp for the order). Stop and Pause return
// once every streaming thread has left the filters or is parked in a Sample
// Grabber callback (see StreamingThread.h and StreamFilters.h); such a thread
// delivers nothing after its callback returns. Sources push on their own named
// threads; no filter of this layer delivers a sample while holding a lock.
//
// Events: IMediaEventSink::Notify from any filter on any thread (a filter gets
// it from its graph in JoinFilterGraph; CBaseFilter::NotifyEvent does this).
// Events are queued in the order raised; for each one queued the message set
// with SetNotifyWindow is posted to that window (platform/win PostMessage,
// LParam = the instance value); SetNotifyFlags(0) keeps them on;
// GetEvent(…, 0) answers E_ABORT when the queue is empty; FreeEventParams is
// always S_OK. EC_COMPLETE is collected from the renderers; EC_REPAINT is
// handled by the graph unless CancelDefaultHandling(EC_REPAINT) was called;
// EC_DEVICE_LOST (param2 0 removed, 1 back) is passed on as raised.
//
// Building capture graphs: ICaptureGraphBuilder2 (Interfaces.h) SetFiltergraph,
// RenderStream, SetOutputFileName(MEDIASUBTYPE_Avi, ...), FindInterface(
// PIN_CATEGORY_CAPTURE, MEDIATYPE_Interleaved, device, IID_IAMDroppedFrames).
//
// Samples: IMediaSample::GetPointer, GetActualDataLength, GetTime (stream
// times, 100 ns) and GetMediaTime (VFW_E_MEDIA_TIME_NOT_SET when the source set
// none). A Smart Tee passes both times unchanged on both outputs.
//
// Declared here, implemented by the layers that own them: IAMDroppedFrames,
// IAMExtDevice, IAMExtTransport, IAMTimecodeReader, IBasicAudio, IVideoWindow,
// IIPDVDec, IDVSplitter, IConfigAviMux, IConfigInterleaving, IFileSinkFilter2,
// IMediaDet (ExtInterfaces.h). The Smart Tee's preview pin answers
// IAMDroppedFrames with its own drop counts.

#include "platform/dshow/ExtInterfaces.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaTypes.h"
#include "platform/dshow/OleTypes.h"

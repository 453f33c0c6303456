// Script-side declarations of the decoder plugin's exported functions, for a host engine whose
// scripts are C#. Copy this file into the scripts; it needs nothing but the base class library.
//
// Call sequence
// -------------
//   1. H264Decoder_start(id, config)         creates decoder instance `id` (any byte, 0 to 255).
//                                            config: {"isH265":true} for H.265, else H.264.
//   2. H264Decoder_registerCallback(id, cb)  cb will be told what texture to create.
//   3. H264Decoder_commitFrame(id, ...)      one Annex B access unit per call, in stream order,
//                                            until cb has reported the picture size.
//   4. Create a BGRA texture of that size and pass the engine's native handle of it:
//      H264Decoder_setNativeTexturePointer(id, nativeHandle,
//          "{\"width\":W,\"height\":H,\"mipMap\":false,\"format\":0}")
//   5. H264Decoder_commitFrame(id, ...)      every further access unit; decoded pictures land in
//                                            the instance's frame buffer.
//      Each rendered frame, hand the pointer that H264Decoder_nativeRenderEventFunc() returns
//      to the engine's call that runs a plugin function on its render thread; that function
//      uploads every instance's latest picture into its texture.
//   6. H264Decoder_stop(id)                  also forgets the callback and the texture.
//
// Threads
// -------
// Every function may be called from any script thread, also at once. None of them, and not the
// render event, waits for another thread's decode, upload, start or stop: only H264Decoder_stop
// waits, for its own instance's access unit in progress, and other ids and the render event go
// on meanwhile. H264Decoder_commitFrame never drops a frame to the decode thread; past the
// backlog's limits it cuts the queue back to a keyframe.
//
// The callback runs on a thread of the plugin (the instance's decode thread, or the platform's
// decode output thread), never on a script thread. It may call the functions of this class; a
// H264Decoder_stop from there frees the id at once and finishes after the callback returns.
// Copy the text, hand it to a script thread (a locked queue polled every frame) and return at
// once; decoding of that instance waits for the callback.
//
// The delegate passed to H264Decoder_registerCallback is called from native code, which holds
// no reference the garbage collector can see. Keep it in a field that lives until
// H264Decoder_unregisterCallback or H264Decoder_stop has returned; a collected delegate makes
// the next call jump into freed memory.
//
// Texts go in as zero-terminated UTF-16 (LPWStr); a text with a lone surrogate is refused as a
// whole. JSON that does not parse or lacks members is not an error: missing values default.
using System;
using System.Runtime.InteropServices;

public static class H264DecoderPlugin
{
    // Resolved as libH264Decoder.so on Linux and H264Decoder.bundle on macOS.
    public const string Library = "H264Decoder";

    // `decoderId` points at one byte holding the instance's id (Marshal.ReadByte), valid for the
    // instance's life. `textureInfoJson` is a zero-terminated UTF-16 text (Marshal.PtrToStringUni)
    // that is freed when the callback returns; it is exactly
    //   {"width":W,"height":H,"format":0,"linear":true,"mipMap":false}
    // It comes once when the decoder learns the picture size, and at most once more when the
    // platform pads picture rows: W is then the padded row width, the only width that receives
    // pictures.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void TextureInfoCallback(IntPtr decoderId, IntPtr textureInfoJson);

    // The function H264Decoder_nativeRenderEventFunc points at; the host's render thread calls
    // it. The event id is not used.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void RenderEventFunc(int eventId);

    // True when the instance was created; false when `decoderId` is already running (that
    // instance is untouched), or the text is null or not well-formed.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_start(
        byte decoderId, [MarshalAs(UnmanagedType.LPWStr)] string configJson);

    // Does nothing for an id that is not running.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern void H264Decoder_stop(byte decoderId);

    // Queues a copy of data[offset .. offset + size): one complete access unit, start codes
    // included. `reserved` is ignored; `pts` is in units of 1/100000 s. The array is pinned for
    // the call only. True for a running instance, whether or not the frame was queued.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_commitFrame(
        byte decoderId, [In] byte[] data, uint reserved, uint offset, uint size, uint pts);

    // True when the callback was stored; false when one is already registered (it stays in
    // force) or the id is unknown.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_registerCallback(
        byte decoderId, TextureInfoCallback callback);

    // True when a callback was registered and is now cleared. A call of the callback already in
    // progress is not waited for.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_unregisterCallback(byte decoderId);

    // Binds the native texture (a Metal texture or an OpenGL texture name; IntPtr.Zero unbinds).
    // Pictures reach it only when the description's width, height and format 0 match them.
    // True for a running instance whatever the description holds.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_setNativeTexturePointer(
        byte decoderId, IntPtr texturePtr, [MarshalAs(UnmanagedType.LPWStr)] string textureJson);

    // A buffer of this many chars always holds the statistics text.
    public const int StatisticsCapacity = 1024;

    // Writes the instance's figures into `buffer` as zero-terminated JSON, for example
    //   {"codec":"h264","width":1280,"height":720,"committed":90,"queued":0,"decoded":90,
    //    "delivered":89,"uploaded":88,"dropped":{"queueFull":0,"waitingForKeyframe":0,
    //    "decodeError":0,"noTexture":1,"sizeMismatch":0,"textureBusy":0},
    //    "decodeMs":{"p50":1.2,"p95":2.5,"max":3.1},"latencyMs":{"p50":1.9,"p95":3.4,"max":4.0},
    //    "sessions":1,"lastStatus":0,"keyframeNeeded":false,"keyframeRequests":0}
    // The native header describes each member. Poll it, say once per frame, from a script
    // thread: it waits for no decode or upload. When "keyframeRequests" grows, ask the sender for
    // a keyframe: pictures freeze until one arrives. `capacity` counts chars, the terminator
    // included. False, with nothing written, for an unknown id, a null buffer, or a capacity too
    // small for the text; StatisticsCapacity always suffices.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl, CharSet = CharSet.Unicode)]
    [return: MarshalAs(UnmanagedType.I1)]
    public static extern bool H264Decoder_getStatistics(
        byte decoderId, [Out] char[] buffer, int capacity);

    // The statistics text, read into `buffer` (keep one per poller, of StatisticsCapacity
    // chars, to spare the garbage collector); null for an id that is not running.
    public static string GetStatistics(byte decoderId, char[] buffer)
    {
        if (!H264Decoder_getStatistics(decoderId, buffer, buffer.Length))
            return null;
        return new string(buffer, 0, Array.IndexOf(buffer, '\0'));
    }

    // The render-event function (see RenderEventFunc); the same pointer on every call.
    [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
    public static extern IntPtr H264Decoder_nativeRenderEventFunc();
}

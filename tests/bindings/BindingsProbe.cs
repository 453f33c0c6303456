// Calls the plugin through the C# declarations and prints what each call returned, one
// "name: value" line each, for BindingsTest.cpp to judge. The decoder ids are the two ends of
// the byte range, so a sign or width slip in the id marshalling shows.
//
//   mono bindings-probe.exe H264_CLIP [CLIP...]
// H264_CLIP's first access unit is committed from the middle of a larger array; every CLIP is
// split as the sample splits it, and where its access units start is printed.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

public static class BindingsProbe
{
    const byte LowId = 0;
    const byte HighId = 255;
    const byte NeverStartedId = 77;

    static readonly H264DecoderPlugin.TextureInfoCallback IgnoreTextureInfo = (id, json) => {};

    public static int Main(string[] args)
    {
        ProbeBooleanResults();
        ProbeTexts();
        ProbeRenderEvent();
        if (args.Length > 0)
            ProbeEmbeddedCommit(args[0]);
        foreach (string clip in args)
            PrintAccessUnitStarts(clip);
        return 0;
    }

    static void Report(string name, object value)
    {
        Console.WriteLine("{0}: {1}", name, value);
    }

    static void ProbeBooleanResults()
    {
        byte[] accessUnit = { 0, 0, 0, 1, 9, 0xf0 };
        foreach (byte id in new[] { LowId, HighId })
        {
            string prefix = "id " + id + " ";
            Report(prefix + "start", H264DecoderPlugin.H264Decoder_start(id, "{}"));
            Report(prefix + "start again", H264DecoderPlugin.H264Decoder_start(id, "{}"));
            Report(prefix + "register", H264DecoderPlugin.H264Decoder_registerCallback(
                                            id, IgnoreTextureInfo));
            Report(prefix + "register again", H264DecoderPlugin.H264Decoder_registerCallback(
                                                  id, IgnoreTextureInfo));
            Report(prefix + "unregister", H264DecoderPlugin.H264Decoder_unregisterCallback(id));
            Report(prefix + "unregister again",
                   H264DecoderPlugin.H264Decoder_unregisterCallback(id));
            Report(prefix + "commit", H264DecoderPlugin.H264Decoder_commitFrame(
                                          id, accessUnit, 0, 0, (uint)accessUnit.Length, 0));
            Report(prefix + "bind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                        id, new IntPtr(1), "{\"width\":16,\"height\":16}"));
            Report(prefix + "unbind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                          id, IntPtr.Zero, "{}"));
            H264DecoderPlugin.H264Decoder_stop(id);
            Report(prefix + "after stop register",
                   H264DecoderPlugin.H264Decoder_registerCallback(id, IgnoreTextureInfo));
            Report(prefix + "after stop commit", H264DecoderPlugin.H264Decoder_commitFrame(
                                                     id, accessUnit, 0, 0, 1, 0));
        }
        Report("never started commit null",
               H264DecoderPlugin.H264Decoder_commitFrame(NeverStartedId, null, 0, 0, 0, 0));
        Report("never started unregister",
               H264DecoderPlugin.H264Decoder_unregisterCallback(NeverStartedId));
        Report("never started bind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                         NeverStartedId, IntPtr.Zero, null));
        var buffer = new char[H264DecoderPlugin.StatisticsCapacity];
        Report("never started statistics",
               H264DecoderPlugin.H264Decoder_getStatistics(NeverStartedId, buffer, buffer.Length));
        H264DecoderPlugin.H264Decoder_stop(NeverStartedId);
    }

    // The plugin writes its configuration text to standard output when an instance starts, so
    // the text as it arrived can be compared with the one sent.
    static void ProbeTexts()
    {
        const byte id = 42;
        Console.Out.Flush();
        Report("text start", H264DecoderPlugin.H264Decoder_start(
                                 id, "{\"isH265\":false,\"note\":\"gr\u00fc\u00df \u20ac \U0001F3A5\"}"));
        H264DecoderPlugin.H264Decoder_stop(id);
        Report("lone surrogate start", H264DecoderPlugin.H264Decoder_start(id, "{\"a\":\"\uD800\"}"));
        Report("null start", H264DecoderPlugin.H264Decoder_start(id, null));
        H264DecoderPlugin.H264Decoder_stop(id);
    }

    static void ProbeRenderEvent()
    {
        IntPtr function;
        try
        {
            function = H264DecoderPlugin.H264Decoder_nativeRenderEventFunc();
        }
        catch (EntryPointNotFoundException)
        {
            Report("render event function set", "not exported");
            return;
        }
        Report("render event function set", function != IntPtr.Zero);
        Report("render event function stable",
               function == H264DecoderPlugin.H264Decoder_nativeRenderEventFunc());
        var renderEvent = (H264DecoderPlugin.RenderEventFunc)Marshal.GetDelegateForFunctionPointer(
            function, typeof(H264DecoderPlugin.RenderEventFunc));
        renderEvent(0);
        renderEvent(1);
        Report("render event returned", true);
    }

    // The first access unit (parameter sets and the first picture) lies at an offset inside an
    // array of 0xff bytes, with a non-zero reserved value before the offset: only a commit that
    // passes array, offset and size through unchanged hands the decoder the parameter sets it
    // needs to report the picture size.
    static void ProbeEmbeddedCommit(string h264Clip)
    {
        const byte id = 9;
        byte[] clip = File.ReadAllBytes(h264Clip);
        ByteRange first = AccessUnitSplitter.Split(clip, false)[0];
        // Longer than the access unit, so that reading from any other offset sees no start code.
        int offset = first.Size + 1000;
        byte[] frames = new byte[offset + first.Size + offset];
        for (int i = 0; i < frames.Length; ++i)
            frames[i] = 0xff;
        Array.Copy(clip, first.Offset, frames, offset, first.Size);

        string textureInfo = null;
        var signal = new object();
        H264DecoderPlugin.TextureInfoCallback callback = (decoderId, json) => {
            lock (signal)
            {
                textureInfo = Marshal.ReadByte(decoderId) + " " + Marshal.PtrToStringUni(json);
                Monitor.Pulse(signal);
            }
        };
        H264DecoderPlugin.H264Decoder_start(id, "{}");
        H264DecoderPlugin.H264Decoder_registerCallback(id, callback);
        H264DecoderPlugin.H264Decoder_commitFrame(id, frames, 7, (uint)offset, (uint)first.Size, 0);
        lock (signal)
        {
            if (textureInfo == null)
                Monitor.Wait(signal, TimeSpan.FromSeconds(10));
            Report("embedded access unit texture info", textureInfo ?? "none");
        }
        string statistics = new StatisticsPoller(id).WaitUntilDrained(TimeSpan.FromSeconds(10));
        Report("embedded access unit statistics", statistics ?? "none");
        var exact = new char[statistics.Length + 1];
        Report("statistics into an exact buffer",
               H264DecoderPlugin.H264Decoder_getStatistics(id, exact, exact.Length));
        Report("statistics into a buffer one short",
               H264DecoderPlugin.H264Decoder_getStatistics(id, exact, exact.Length - 1));
        H264DecoderPlugin.H264Decoder_stop(id);
        GC.KeepAlive(callback);
    }

    // Where each access unit's first start code (00 00 01) lies in the clip, and whether the
    // access units cover the clip without gap or overlap.
    static void PrintAccessUnitStarts(string clipPath)
    {
        byte[] clip = File.ReadAllBytes(clipPath);
        var starts = new List<string>();
        int expectedOffset = 0;
        foreach (ByteRange unit in AccessUnitSplitter.Split(clip, clipPath.EndsWith(".h265")))
        {
            if (unit.Offset != expectedOffset)
                starts.Add("gap");
            starts.Add(FirstStartCode(clip, unit.Offset).ToString());
            expectedOffset = unit.Offset + unit.Size;
        }
        string name = Path.GetFileName(clipPath);
        Report("access unit starts " + name, string.Join(",", starts));
        Report("access units cover " + name, expectedOffset == clip.Length);
    }

    static int FirstStartCode(byte[] clip, int from)
    {
        for (int i = from; i + 2 < clip.Length; ++i)
        {
            if (clip[i] == 0 && clip[i + 1] == 0 && clip[i + 2] == 1)
                return i;
        }
        return -1;
    }
}

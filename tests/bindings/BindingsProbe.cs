// Calls the plugin through the C# declarations and checks what each call returned: a mismatch
// prints one "FAIL" line and makes the exit status 1. The decoder ids are the two ends of the
// byte range, so a sign or width slip in the id marshalling shows. Where each access unit of
// every CLIP starts, as the sample splits it, is printed for BindingsTest.cpp to compare.
//
//   mono bindings-probe.exe H264_CLIP [CLIP...]
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;

public static class BindingsProbe
{
    static readonly H264DecoderPlugin.TextureInfoCallback IgnoreTextureInfo = (id, json) => {};
    static int failures;

    public static int Main(string[] args)
    {
        ProbeBooleanResults();
        ProbeTexts();
        ProbeRenderEvent();
        ProbeEmbeddedCommit(args[0]);
        foreach (string clip in args)
            PrintAccessUnitStarts(clip);
        return failures == 0 ? 0 : 1;
    }

    static void Expect(string what, object actual, object expected)
    {
        if (Equals(actual, expected))
            return;
        Console.WriteLine("FAIL {0}: {1}, expected {2}", what, actual, expected);
        ++failures;
    }

    static void ProbeBooleanResults()
    {
        byte[] accessUnit = { 0, 0, 0, 1, 9, 0xf0 };
        foreach (byte id in new byte[] { 0, 255 })
        {
            string prefix = "id " + id + " ";
            Expect(prefix + "start", H264DecoderPlugin.H264Decoder_start(id, "{}"), true);
            Expect(prefix + "start again", H264DecoderPlugin.H264Decoder_start(id, "{}"), false);
            Expect(prefix + "register",
                   H264DecoderPlugin.H264Decoder_registerCallback(id, IgnoreTextureInfo), true);
            Expect(prefix + "register again",
                   H264DecoderPlugin.H264Decoder_registerCallback(id, IgnoreTextureInfo), false);
            Expect(prefix + "unregister", H264DecoderPlugin.H264Decoder_unregisterCallback(id),
                   true);
            Expect(prefix + "unregister again",
                   H264DecoderPlugin.H264Decoder_unregisterCallback(id), false);
            Expect(prefix + "commit", H264DecoderPlugin.H264Decoder_commitFrame(
                                          id, accessUnit, 0, 0, (uint)accessUnit.Length, 0), true);
            Expect(prefix + "bind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                        id, new IntPtr(1), "{\"width\":16,\"height\":16}"), true);
            Expect(prefix + "unbind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                          id, IntPtr.Zero, "{}"), true);
            H264DecoderPlugin.H264Decoder_stop(id);
            Expect(prefix + "after stop register",
                   H264DecoderPlugin.H264Decoder_registerCallback(id, IgnoreTextureInfo), false);
            Expect(prefix + "after stop commit",
                   H264DecoderPlugin.H264Decoder_commitFrame(id, accessUnit, 0, 0, 1, 0), false);
        }
        const byte neverStarted = 77;
        Expect("never started commit null",
               H264DecoderPlugin.H264Decoder_commitFrame(neverStarted, null, 0, 0, 0, 0), false);
        Expect("never started unregister",
               H264DecoderPlugin.H264Decoder_unregisterCallback(neverStarted), false);
        Expect("never started bind", H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                         neverStarted, IntPtr.Zero, null), false);
        var buffer = new char[H264DecoderPlugin.StatisticsCapacity];
        Expect("never started statistics",
               H264DecoderPlugin.H264Decoder_getStatistics(neverStarted, buffer, buffer.Length),
               false);
        H264DecoderPlugin.H264Decoder_stop(neverStarted);
    }

    // The plugin logs the configuration text as it arrived; BindingsTest.cpp compares it with
    // this one, whose U+1F3A5 only a surrogate pair carries.
    static void ProbeTexts()
    {
        const byte id = 42;
        Console.Out.Flush();
        Expect("text start", H264DecoderPlugin.H264Decoder_start(
                                 id, "{\"isH265\":false,\"note\":\"gr\u00fc\u00df \u20ac \U0001F3A5\"}"),
               true);
        H264DecoderPlugin.H264Decoder_stop(id);
        Expect("lone surrogate start", H264DecoderPlugin.H264Decoder_start(id, "{\"a\":\"\uD800\"}"),
               false);
        Expect("null start", H264DecoderPlugin.H264Decoder_start(id, null), false);
        H264DecoderPlugin.H264Decoder_stop(id);
    }

    static void ProbeRenderEvent()
    {
        IntPtr function = H264DecoderPlugin.H264Decoder_nativeRenderEventFunc();
        Expect("render event function set", function != IntPtr.Zero, true);
        Expect("render event function stable",
               H264DecoderPlugin.H264Decoder_nativeRenderEventFunc(), function);
        var renderEvent = (H264DecoderPlugin.RenderEventFunc)Marshal.GetDelegateForFunctionPointer(
            function, typeof(H264DecoderPlugin.RenderEventFunc));
        renderEvent(0);
        renderEvent(1);
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
        }
        Expect("texture info", textureInfo,
               "9 {\"width\":320,\"height\":240,\"format\":0,\"linear\":true,\"mipMap\":false}");
        // The statistics text, read as a host script reads it, goes out whole or not at all.
        string statistics = new StatisticsPoller(id).WaitUntilDrained(TimeSpan.FromSeconds(10));
        foreach (var count in new[] { Tuple.Create("committed", 1), Tuple.Create("decoded", 1),
                                      Tuple.Create("noTexture", 1), Tuple.Create("width", 320),
                                      Tuple.Create("height", 240), Tuple.Create("sessions", 1) })
            Expect("statistics " + count.Item1, StatisticsPoller.ReadCount(statistics, count.Item1),
                   count.Item2);
        var exact = new char[statistics.Length + 1];
        Expect("statistics into an exact buffer",
               H264DecoderPlugin.H264Decoder_getStatistics(id, exact, exact.Length), true);
        Expect("statistics into a buffer one short",
               H264DecoderPlugin.H264Decoder_getStatistics(id, exact, exact.Length - 1), false);
        H264DecoderPlugin.H264Decoder_stop(id);
        GC.KeepAlive(callback);
    }

    // Where each access unit's first start code (00 00 01) lies in the clip; the access units
    // must cover the clip without gap or overlap.
    static void PrintAccessUnitStarts(string clipPath)
    {
        byte[] clip = File.ReadAllBytes(clipPath);
        var starts = new List<string>();
        int expectedOffset = 0;
        foreach (ByteRange unit in AccessUnitSplitter.Split(clip, clipPath.EndsWith(".h265")))
        {
            Expect("access unit offset in " + clipPath, unit.Offset, expectedOffset);
            int start = unit.Offset;
            while (start + 2 < clip.Length && !(clip[start] == 0 && clip[start + 1] == 0 &&
                                                clip[start + 2] == 1))
                ++start;
            starts.Add(start.ToString());
            expectedOffset = unit.Offset + unit.Size;
        }
        Expect("access units cover " + clipPath, expectedOffset, clip.Length);
        Console.WriteLine("access unit starts {0}: {1}", Path.GetFileName(clipPath),
                          string.Join(",", starts));
    }
}

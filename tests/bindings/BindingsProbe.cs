// Calls the plugin through the C# declarations and checks what each call returned: a mismatch
// prints one "FAIL" line naming the probe's line and makes the exit status 1. The decoder ids
// are the two ends of the byte range, so a sign or width slip in the id marshalling shows.
// Where each access unit of every CLIP starts, as the sample splits it, is printed for
// BindingsTest.cpp to compare.
//
//   mono bindings-probe.exe H264_CLIP [CLIP...]
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading.Tasks;
using static H264DecoderPlugin;

public static class BindingsProbe
{
    static readonly TextureInfoCallback IgnoreTextureInfo = (id, json) => {};
    static int failures;

    public static int Main(string[] args)
    {
        ProbeResults();
        ProbeEmbeddedCommit(args[0]);
        foreach (string clip in args)
            PrintAccessUnitStarts(clip);
        return failures == 0 ? 0 : 1;
    }

    static void Expect(object actual, object expected, string context = "",
                       [CallerLineNumber] int line = 0)
    {
        if (Equals(actual, expected))
            return;
        Console.WriteLine("FAIL line {0} {1}: {2}, expected {3}", line, context, actual, expected);
        ++failures;
    }

    static void ProbeResults()
    {
        byte[] unit = { 0, 0, 0, 1, 9, 0xf0 };
        foreach (byte id in new byte[] { 0, 255 })
        {
            string context = "id " + id;
            Expect(H264Decoder_start(id, "{}"), true, context);
            Expect(H264Decoder_start(id, "{}"), false, context);
            Expect(H264Decoder_registerCallback(id, IgnoreTextureInfo), true, context);
            Expect(H264Decoder_registerCallback(id, IgnoreTextureInfo), false, context);
            Expect(H264Decoder_unregisterCallback(id), true, context);
            Expect(H264Decoder_unregisterCallback(id), false, context);
            Expect(H264Decoder_commitFrame(id, unit, 0, 0, (uint)unit.Length, 0), true, context);
            Expect(H264Decoder_setNativeTexturePointer(id, new IntPtr(1), "{\"width\":16}"), true,
                   context);
            Expect(H264Decoder_setNativeTexturePointer(id, IntPtr.Zero, "{}"), true, context);
            H264Decoder_stop(id);
            Expect(H264Decoder_commitFrame(id, unit, 0, 0, 1, 0), false, context);
        }
        const byte neverStarted = 77;
        Expect(H264Decoder_commitFrame(neverStarted, null, 0, 0, 0, 0), false);
        Expect(H264Decoder_setNativeTexturePointer(neverStarted, IntPtr.Zero, null), false);
        var buffer = new char[StatisticsCapacity];
        Expect(H264Decoder_getStatistics(neverStarted, buffer, buffer.Length), false);

        // The plugin logs the configuration text as it arrived, for BindingsTest.cpp to compare
        // with this one, whose U+1F3A5 only a surrogate pair carries.
        Console.Out.Flush();
        const string text = "{\"isH265\":false,\"note\":\"gr\u00fc\u00df \u20ac \U0001F3A5\"}";
        Expect(H264Decoder_start(42, text), true);
        H264Decoder_stop(42);
        Expect(H264Decoder_start(42, "{\"a\":\"\uD800\"}"), false);
        Expect(H264Decoder_start(42, null), false);

        IntPtr function = H264Decoder_nativeRenderEventFunc();
        Expect(function != IntPtr.Zero, true);
        Expect(H264Decoder_nativeRenderEventFunc(), function);
        var renderEvent = (RenderEventFunc)Marshal.GetDelegateForFunctionPointer(
            function, typeof(RenderEventFunc));
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
        byte[] frames = Enumerable.Repeat((byte)0xff, offset + first.Size + offset).ToArray();
        Array.Copy(clip, first.Offset, frames, offset, first.Size);

        var textureInfo = new TaskCompletionSource<string>();
        TextureInfoCallback callback = (decoderId, json) => textureInfo.TrySetResult(
            Marshal.ReadByte(decoderId) + " " + Marshal.PtrToStringUni(json));
        H264Decoder_start(id, "{}");
        H264Decoder_registerCallback(id, callback);
        H264Decoder_commitFrame(id, frames, 7, (uint)offset, (uint)first.Size, 0);
        Expect(textureInfo.Task.Wait(TimeSpan.FromSeconds(10)) ? textureInfo.Task.Result : null,
               "9 {\"width\":320,\"height\":240,\"format\":0,\"linear\":true,\"mipMap\":false}");
        // The statistics text, read as a host script reads it: a count nested in "dropped" too.
        string statistics = new StatisticsPoller(id).WaitUntilDrained(TimeSpan.FromSeconds(10));
        Expect(StatisticsPoller.ReadCount(statistics, "decoded"), 1);
        Expect(StatisticsPoller.ReadCount(statistics, "noTexture"), 1);
        H264Decoder_stop(id);
        GC.KeepAlive(callback);
    }

    // Where each access unit's first start code (00 00 01) lies in the clip; the access units
    // must cover the clip without gap or overlap.
    static void PrintAccessUnitStarts(string clipPath)
    {
        byte[] clip = File.ReadAllBytes(clipPath);
        var starts = new List<string>();
        int end = 0;
        foreach (ByteRange unit in AccessUnitSplitter.Split(clip, clipPath.EndsWith(".h265")))
        {
            Expect(unit.Offset, end, clipPath);
            int start = unit.Offset;
            while (start + 2 < clip.Length &&
                   !(clip[start] == 0 && clip[start + 1] == 0 && clip[start + 2] == 1))
                ++start;
            starts.Add(start.ToString());
            end = unit.Offset + unit.Size;
        }
        Expect(end, clip.Length, clipPath);
        Console.WriteLine("access unit starts {0}: {1}", Path.GetFileName(clipPath),
                          string.Join(",", starts));
    }
}

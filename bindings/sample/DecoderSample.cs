// Plays an Annex B clip through the decoder plugin the way a host script does, printing each
// step. A console has no graphics device, so the texture handle bound here is a stand-in that
// only a render backend would dereference; everything up to the frame buffer runs for real.
//
//   mono decoder-sample.exe CLIP [DECODER_ID]
//
// CLIP ending in .h265 or .hevc is decoded as H.265, anything else as H.264.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;

public static class DecoderSample
{
    const int FramesPerSecond = 30;
    const uint PtsUnitsPerSecond = 100000;
    static readonly TimeSpan TextureInfoTimeout = TimeSpan.FromSeconds(10);
    static readonly TimeSpan DrainTimeout = TimeSpan.FromSeconds(10);

    // Stands in for the engine's native texture handle.
    static readonly IntPtr StandInTexture = new IntPtr(1);

    public static int Main(string[] args)
    {
        if (args.Length < 1 || args.Length > 2)
        {
            Console.Error.WriteLine("usage: decoder-sample.exe CLIP [DECODER_ID]");
            return 2;
        }
        string clipPath = args[0];
        byte decoderId = args.Length > 1 ? byte.Parse(args[1]) : (byte)1;
        bool isH265 = clipPath.EndsWith(".h265") || clipPath.EndsWith(".hevc");

        byte[] clip = File.ReadAllBytes(clipPath);
        List<ByteRange> accessUnits = AccessUnitSplitter.Split(clip, isH265);
        Console.WriteLine("clip {0}: {1} access units", Path.GetFileName(clipPath),
                          accessUnits.Count);
        return Play(decoderId, isH265, clip, accessUnits) ? 0 : 1;
    }

    static bool Play(byte decoderId, bool isH265, byte[] clip, List<ByteRange> accessUnits)
    {
        string config = isH265 ? "{\"isH265\":true}" : "{\"isH265\":false}";
        bool started = H264DecoderPlugin.H264Decoder_start(decoderId, config);
        Console.WriteLine("H264Decoder_start({0}): {1}", decoderId, started);
        if (!started)
            return false;

        var mailbox = new TextureInfoMailbox();
        Console.WriteLine("H264Decoder_registerCallback({0}): {1}", decoderId,
                          H264DecoderPlugin.H264Decoder_registerCallback(decoderId,
                                                                         mailbox.Callback));
        int committed = 0;
        bool bound = false;
        var statistics = new StatisticsPoller(decoderId);
        for (int i = 0; i < accessUnits.Count; ++i)
        {
            ByteRange unit = accessUnits[i];
            uint pts = (uint)(i * PtsUnitsPerSecond / FramesPerSecond);
            if (H264DecoderPlugin.H264Decoder_commitFrame(decoderId, clip, 0, (uint)unit.Offset,
                                                          (uint)unit.Size, pts))
                ++committed;
            Thread.Sleep(1000 / FramesPerSecond);
            bound |= BindReportedTexture(decoderId, mailbox, TimeSpan.Zero);
            statistics.Poll();
        }
        Console.WriteLine("committed {0} of {1} access units", committed, accessUnits.Count);
        bound |= BindReportedTexture(decoderId, mailbox, bound ? TimeSpan.Zero : TextureInfoTimeout);
        if (!bound)
            Console.WriteLine("no texture info within {0} s", TextureInfoTimeout.TotalSeconds);
        Console.WriteLine("statistics: {0}", statistics.WaitUntilDrained(DrainTimeout));

        H264DecoderPlugin.H264Decoder_stop(decoderId);
        Console.WriteLine("H264Decoder_stop({0})", decoderId);
        GC.KeepAlive(mailbox);
        return bound && committed == accessUnits.Count;
    }

    // Binds a texture for every texture info that arrived, waiting up to `wait` for the first.
    static bool BindReportedTexture(byte decoderId, TextureInfoMailbox mailbox, TimeSpan wait)
    {
        bool bound = false;
        TextureInfo info;
        while (mailbox.TryTake(bound ? TimeSpan.Zero : wait, out info))
        {
            Console.WriteLine("texture info for decoder {0}: {1}", info.DecoderId, info.Json);
            int width = ReadInt(info.Json, "width");
            int height = ReadInt(info.Json, "height");
            string description = string.Format(
                "{{\"width\":{0},\"height\":{1},\"mipMap\":false,\"format\":0}}", width, height);
            Console.WriteLine("H264Decoder_setNativeTexturePointer({0}, {1}x{2}): {3}", decoderId,
                              width, height,
                              H264DecoderPlugin.H264Decoder_setNativeTexturePointer(
                                  decoderId, StandInTexture, description));
            bound = true;
        }
        return bound;
    }

    static int ReadInt(string json, string key)
    {
        Match match = Regex.Match(json, "\"" + key + "\":(-?[0-9]+)");
        return match.Success ? int.Parse(match.Groups[1].Value) : 0;
    }
}

public struct TextureInfo
{
    public byte DecoderId;
    public string Json;
}

// Carries texture infos from the plugin's decode threads to the script thread. The callback
// only copies and queues: it must not call the plugin, and decoding waits while it runs.
public sealed class TextureInfoMailbox
{
    readonly Queue<TextureInfo> queue = new Queue<TextureInfo>();

    // Held here so that the delegate lives as long as the mailbox that registered it.
    public readonly H264DecoderPlugin.TextureInfoCallback Callback;

    public TextureInfoMailbox()
    {
        Callback = OnTextureInfo;
    }

    void OnTextureInfo(IntPtr decoderId, IntPtr textureInfoJson)
    {
        var info = new TextureInfo {
            DecoderId = Marshal.ReadByte(decoderId),
            Json = Marshal.PtrToStringUni(textureInfoJson)
        };
        lock (queue)
        {
            queue.Enqueue(info);
            Monitor.Pulse(queue);
        }
    }

    public bool TryTake(TimeSpan wait, out TextureInfo info)
    {
        lock (queue)
        {
            if (queue.Count == 0)
                Monitor.Wait(queue, wait);
            bool taken = queue.Count > 0;
            info = taken ? queue.Dequeue() : default(TextureInfo);
            return taken;
        }
    }
}

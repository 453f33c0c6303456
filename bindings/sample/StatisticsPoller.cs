// Polls a decoder instance's statistics the way a host script does.
using System;
using System.Text.RegularExpressions;
using System.Threading;

// Reads an instance's statistics once per frame, as a host script does, and says when the
// decoder asks for a keyframe: a host forwards that to its sender.
public sealed class StatisticsPoller
{
    readonly byte decoderId;
    readonly char[] buffer = new char[H264DecoderPlugin.StatisticsCapacity];
    int keyframeRequests;

    public StatisticsPoller(byte decoderId)
    {
        this.decoderId = decoderId;
    }

    public string Poll()
    {
        string json = H264DecoderPlugin.GetStatistics(decoderId, buffer);
        if (json == null)
            return null;
        int requests = ReadCount(json, "keyframeRequests");
        if (requests > keyframeRequests)
            Console.WriteLine("decoder {0} asks for a keyframe", decoderId);
        keyframeRequests = requests;
        return json;
    }

    // The statistics once every committed unit has been decoded or dropped, or after `wait`.
    public string WaitUntilDrained(TimeSpan wait)
    {
        DateTime deadline = DateTime.UtcNow + wait;
        string json = Poll();
        while (json != null && !Drained(json) && DateTime.UtcNow < deadline)
        {
            Thread.Sleep(10);
            json = Poll();
        }
        return json;
    }

    static bool Drained(string json)
    {
        int ended = ReadCount(json, "decoded") +
                    ReadCount(json, "queueFull") +
                    ReadCount(json, "waitingForKeyframe") +
                    ReadCount(json, "decodeError");
        return ended >= ReadCount(json, "committed");
    }

    // A whole-number member of the statistics text, wherever it is nested; 0 when absent.
    public static int ReadCount(string json, string key)
    {
        Match match = Regex.Match(json, "\"" + key + "\":([0-9]+)");
        return match.Success ? int.Parse(match.Groups[1].Value) : 0;
    }
}

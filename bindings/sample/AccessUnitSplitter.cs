// Finds the access units of an Annex B stream so that each can be committed straight from the
// array that holds the whole stream, without copying.
using System.Collections.Generic;

public struct ByteRange
{
    public int Offset;
    public int Size;

    public ByteRange(int offset, int size)
    {
        Offset = offset;
        Size = size;
    }
}

public static class AccessUnitSplitter
{
    // A new access unit starts at the first NAL unit, after a picture's slices, that is either a
    // unit only allowed before a picture (delimiter, parameter sets, prefix SEI) or the first
    // slice of the next picture. That is enough for streams without arbitrary slice order.
    public static List<ByteRange> Split(byte[] stream, bool isH265)
    {
        var units = new List<ByteRange>();
        int unitStart = -1;
        bool unitHasSlice = false;
        for (int position = 0; (position = NextStartCode(stream, position)) >= 0; position += 3)
        {
            int header = position + 3;
            if (header >= stream.Length)
                break;
            bool isSlice = IsSlice(stream, header, isH265);
            bool opensUnit = isSlice ? IsFirstSliceOfPicture(stream, header, isH265)
                                     : PrecedesPicture(stream[header], isH265);
            if (unitStart < 0 || (unitHasSlice && opensUnit))
            {
                int nalStart = position > 0 && stream[position - 1] == 0 ? position - 1 : position;
                if (unitStart >= 0)
                    units.Add(new ByteRange(unitStart, nalStart - unitStart));
                unitStart = nalStart;
                unitHasSlice = false;
            }
            unitHasSlice |= isSlice;
        }
        if (unitStart >= 0)
            units.Add(new ByteRange(unitStart, stream.Length - unitStart));
        return units;
    }

    static int NextStartCode(byte[] stream, int from)
    {
        for (int i = from; i + 2 < stream.Length; ++i)
        {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1)
                return i;
        }
        return -1;
    }

    static int NalType(byte header, bool isH265)
    {
        return isH265 ? (header >> 1) & 0x3f : header & 0x1f;
    }

    static bool IsSlice(byte[] stream, int header, bool isH265)
    {
        int type = NalType(stream[header], isH265);
        return isH265 ? type <= 31 : type >= 1 && type <= 5;
    }

    // first_mb_in_slice == 0 (H.264, ue(v) coded: a leading 1 bit) or
    // first_slice_segment_in_pic_flag (H.265): either way the top bit of the slice header.
    static bool IsFirstSliceOfPicture(byte[] stream, int header, bool isH265)
    {
        int sliceHeader = header + (isH265 ? 2 : 1);
        return sliceHeader < stream.Length && (stream[sliceHeader] & 0x80) != 0;
    }

    static bool PrecedesPicture(byte header, bool isH265)
    {
        int type = NalType(header, isH265);
        if (isH265)
            return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
                   (type >= 48 && type <= 55);
        return (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
    }
}

// The consumer's program in C#, as app.c: hands a download over through the wrapper, naming the
// launcher that starts it (under Mono the process is mono's); started without arguments, it records
// its start.
using System;
using System.IO;
using System.Reflection;
using Quillmoor;

static class App
{
    static int Main(string[] arguments)
    {
        string launcher = Path.ChangeExtension(Assembly.GetExecutingAssembly().Location, null);
        if (arguments.Length < 2)
        {
            File.AppendAllText(launcher + ".log", "started\n");
            return 0;
        }
        try
        {
            string updater = Path.Combine(Path.GetDirectoryName(launcher), "quillmoor-updater");
            Handover.HandOverFileChecked(updater, launcher, arguments[0], arguments[1]);
            return 0;
        }
        catch (HandoverException error)
        {
            Console.Error.WriteLine("hand-over failed: " + error.Code + ": " + error.Message);
            return 1;
        }
    }
}

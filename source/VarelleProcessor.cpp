#include "VarelleProcessor.h"
#include "VarelleEditor.h"

#include <BinaryData.h>

#include <cmath>
#include <cstring>

namespace p = varelle::params;

namespace
{
constexpr int kMaxLatencySamples = (1 << VarelleProcessor::kMaxFFTOrder)
                                   + VarelleProcessor::kNeuralLookaheadHops * ((1 << VarelleProcessor::kMaxFFTOrder) / 4);

inline bool toBool (const std::atomic<float>* v) noexcept { return v->load (std::memory_order_relaxed) >= 0.5f; }
inline int toInt (const std::atomic<float>* v) noexcept { return (int) v->load (std::memory_order_relaxed); }
inline float toFloat (const std::atomic<float>* v) noexcept { return v->load (std::memory_order_relaxed); }

/** Copies n samples, replacing NaN and infinities by silence so they cannot poison the analysis. */
inline void copyFinite (float* dst, const float* src, int n) noexcept
{
    for (int i = 0; i < n; ++i)
        dst[i] = std::isfinite (src[i]) ? src[i] : 0.0f;
}
} // namespace

//==============================================================================
VarelleProcessor::VarelleProcessor()
    : AudioProcessor (BusesProperties()
                          .withInput ("Input", juce::AudioChannelSet::stereo(), true)
                          .withOutput ("Output", juce::AudioChannelSet::stereo(), true)),
      valueTreeState (*this, nullptr, "Parameters", createParameterLayout())
{
    auto raw = [this] (const juce::String& id)
    {
        auto* v = valueTreeState.getRawParameterValue (id);
        jassert (v != nullptr);
        return v;
    };

    handles.panEnabled = raw (p::panEnabled);
    handles.panMode = raw (p::panMode);
    handles.panHardness = raw (p::panHardness);
    handles.panGlide = raw (p::panGlide);
    handles.panSpread = raw (p::panSpread);
    handles.panLowNote = raw (p::panLowNote);
    handles.panCenterNote = raw (p::panCenterNote);
    handles.panHighNote = raw (p::panHighNote);
    handles.stereoMode = raw (p::stereoMode);
    handles.stereoWidth = raw (p::stereoWidth);
    handles.outputWidth = raw (p::outputWidth);
    handles.masterPan = raw (p::masterPan);
    handles.flipLR = raw (p::flipLR);
    handles.outputGainDb = raw (p::outputGainDb);
    handles.wetDryMix = raw (p::wetDryMix);
    handles.reverbMix = raw (p::reverbMix);
    handles.reverbSize = raw (p::reverbSize);
    handles.zoneFxEnabled = raw (p::zoneFxEnabled);
    handles.midiOffset = raw (p::midiOffset);
    handles.autoKey = raw (p::autoKey);
    for (int z = 0; z < p::kNumZones; ++z)
        for (int s = 0; s < p::kNumZoneParams; ++s)
            handles.zone[z][s] = raw (p::zoneParamID (z, s));

    detectionEngineParam = valueTreeState.getParameter (p::detectionEngine);
    detectionPresetParam = valueTreeState.getParameter (p::detectionPreset);

    for (int z = 0; z < p::kNumZones; ++z)
    {
        zones[(size_t) z].lowNote = varelle::kDefaultZoneLowNotes[z];
        zones[(size_t) z].highNote = varelle::kDefaultZoneHighNotes[z];
    }

    for (auto& f : noteMuted) f = false;
    for (auto& f : noteSoloed) f = false;
    for (auto& f : zoneSoloed) f = false;

    reverb.setParameters (juce::Reverb::Parameters());
    reverb.setSampleRate (44100.0);

    // Hosts may ask for the latency before the first preparation; answer with the default
    // frame's value rather than 0.
    setLatencySamples (currentLatency());
}

VarelleProcessor::~VarelleProcessor()
{
    cancelPendingUpdate();
}

//==============================================================================
int VarelleProcessor::fftOrderForLatencyMode (int mode) noexcept
{
    switch (mode)
    {
        case 1:  return 10;
        case 2:  return 9;
        default: return 12;
    }
}

int VarelleProcessor::latencyFor (int fftSize, int detectionEngineChoice, bool hasModel) noexcept
{
    const bool neuralMayRun = hasModel && (detectionEngineChoice == p::engineAuto || detectionEngineChoice == p::engineNeural);
    return fftSize + (neuralMayRun ? kNeuralLookaheadHops * (fftSize / 4) : 0);
}

bool VarelleProcessor::isNeuralUsable() const noexcept
{
    // The network runs only at the frame size it was made for; elsewhere the classical
    // tracker runs, as without a model.
    return modelLoaded && noteSeparator.isNeuralReady();
}

int VarelleProcessor::currentLatency() const noexcept
{
    const int choice = detectionEngineParam != nullptr ? (int) detectionEngineParam->convertFrom0to1 (detectionEngineParam->getValue()) : 0;
    return latencyFor (stftEngine.getFFTSize(), choice, isNeuralUsable());
}

void VarelleProcessor::reportLatency (bool notifyHost)
{
    // The latency is also what the signal path delays by: with the network's look-ahead the
    // separator works on a frame that many hops old, and the dry and side signals wait as long.
    const int latency = currentLatency();
    const int frameSize = stftEngine.getFFTSize();
    noteSeparator.setLookaheadFrames ((latency - frameSize) / juce::jmax (1, frameSize / 4));
    outputStage.setDelay (latency);
    setLatencySamples (latency);
    if (notifyHost)
        triggerAsyncUpdate();
}

void VarelleProcessor::handleAsyncUpdate()
{
    updateHostDisplay (ChangeDetails().withLatencyChanged (true));
}

bool VarelleProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    if (layouts.inputBuses.isEmpty() || layouts.outputBuses.isEmpty())
        return false;

    const auto in = layouts.getMainInputChannelSet();
    const auto out = layouts.getMainOutputChannelSet();
    return (in == juce::AudioChannelSet::mono() || in == juce::AudioChannelSet::stereo())
        && out == juce::AudioChannelSet::stereo();
}

juce::AudioProcessorEditor* VarelleProcessor::createEditor()
{
    return new VarelleEditor (*this);
}

//==============================================================================
void VarelleProcessor::prepareToPlay (double sampleRate, int maximumBlockSize)
{
    // Also runs on the audio thread after a latency-mode change. Everything below stays inside
    // capacity reserved by the first preparation with this block size, so that path allocates
    // nothing: every buffer is reserved for the largest frame and the FFT plans of all three
    // frame sizes exist from the start.
    preparedSampleRate = sampleRate > 0.0 ? sampleRate : 44100.0;
    preparedBlockSize = juce::jmax (1, maximumBlockSize);
    const int n = preparedBlockSize;

    for (int mode = 2; mode >= 0; --mode)
        stftEngine.reserve (fftOrderForLatencyMode (mode), n);
    stftEngine.prepare (fftOrderForLatencyMode (latencyMode.load()), n);

    // The embedded network is loaded once per instance; a resource that is missing or fails
    // its checks leaves the classical engine in force. Loading allocates, so it never happens
    // in the re-preparation on the audio thread.
    if (! modelLoaded && ! preparingOnAudioThread)
    {
        int size = 0;
        if (const char* data = BinaryData::getNamedResource ("universal_aug_pnn", size); data != nullptr && size > 0)
            modelLoaded = noteSeparator.getNeuralDetector().loadModel (data, (size_t) size) == varelle::ModelLoader::Result::ok;
    }

    noteSeparator.prepare (preparedSampleRate, stftEngine.getFFTSize());
    installFrameCallbacks();

    channelStorage.reserve ((size_t) (2 * kNumChannels * n));
    channelStorage.assign ((size_t) (2 * kNumChannels * n), 0.0f);
    for (int c = 0; c < kNumChannels; ++c)
    {
        channelOutputsLeft[(size_t) c] = channelStorage.data() + (size_t) c * (size_t) n;
        channelOutputsRight[(size_t) c] = channelStorage.data() + (size_t) (kNumChannels + c) * (size_t) n;
    }

    midScratch.assign ((size_t) n, 0.0f);
    sideScratch.assign ((size_t) n, 0.0f);

    keyTracker.reset();
    harmony.prepare (preparedSampleRate);
    harmonyLeft.assign ((size_t) n, 0.0f);
    harmonyRight.assign ((size_t) n, 0.0f);
    harmonyMid.assign ((size_t) n, 0.0f);

    for (auto& fx : zoneFx)
        fx.prepare (preparedSampleRate, n);
    for (auto& zb : zoneBuffers)
        zb.setSize (2, n, false, true, true);
    reverbSendBuffer.setSize (2, n, false, true, true);
    reverb.setSampleRate (preparedSampleRate);

    outputStage.prepare (preparedSampleRate, stftEngine.getFFTSize(), n);
    for (auto& stem : stems)
        stem.setSize (captureStems ? 2 : 0, captureStems ? n : 0, false, true, true);

    // The bypass lines hold the largest latency any mode and engine can report.
    for (auto& line : bypassLines)
        line.assign ((size_t) (kMaxLatencySamples + n), 0.0f);
    bypassWritePos = 0;

    inputLevel = 0.0f;
    isPrepared = true;
    reportLatency (false);
}

void VarelleProcessor::installFrameCallbacks()
{
    // The separator writes the whole spectrum of every channel it flags.
    stftEngine.callbacksFillFlaggedSpectra = true;
    stftEngine.frameCallback = [this] (const float* spectrum, int numBins, float* out, varelle::ChannelMask& mask)
    {
        noteSeparator.processFrame (spectrum, numBins, out, mask);
        if (analysisObserver)
            analysisObserver (noteSeparator.currentFrame, describedFrameIndex(), noteSeparator.getLastEngineUsed());
    };
    stftEngine.stereoFrameCallback = [this] (const float* l, const float* r, int numBins,
                                             float* outL, float* outR, varelle::ChannelMask& mask)
    {
        noteSeparator.processStereoFrame (l, r, numBins, outL, outR, mask);
        if (analysisObserver)
            analysisObserver (noteSeparator.currentFrame, describedFrameIndex(), noteSeparator.getLastEngineUsed());
    };
}

void VarelleProcessor::releaseResources()
{
    stftEngine.reset();
    noteSeparator.reset();
    keyTracker.reset();
    harmony.reset();
    for (auto& fx : zoneFx)
        fx.reset();
    reverb.reset();
}

//==============================================================================
void VarelleProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    // No MIDI comes in; what goes out are the notes of the separated keys.
    midi.clear();
    const int total = buffer.getNumSamples();
    if (total <= 0)
        return;

    juce::ScopedNoDenormals noDenormals;

    if (! isPrepared)
    {
        buffer.clear();
        return;
    }

    const int numInputChannels = juce::jmin (getTotalNumInputChannels(), buffer.getNumChannels());

    // A block longer than the host promised is processed in prepared-size pieces, so every
    // buffer keeps its prepared size.
    for (int start = 0; start < total;)
    {
        const int piece = juce::jmin (preparedBlockSize, total - start);
        juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), start, piece);
        pieceOffset = start;
        processPiece (view, midi, numInputChannels);
        start += piece;
    }
}

void VarelleProcessor::processPiece (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi, int numInputChannels)
{
    const int n = buffer.getNumSamples();
    const int numOutputChannels = juce::jmin (getTotalNumOutputChannels(), buffer.getNumChannels());
    const auto relaxed = std::memory_order_relaxed;

    updateDetectionEngine();
    applyDetectionPreset();

    if (latencyChangePending.exchange (false))
    {
        preparingOnAudioThread = true;
        prepareToPlay (preparedSampleRate, preparedBlockSize);
        preparingOnAudioThread = false;
        reportLatency (true);
    }

    takeParameterSnapshot();
    handleTransport (n);

    writeBypassLines (buffer, numInputChannels, n);
    outputStage.writeDry (buffer.getReadPointer (0), buffer.getReadPointer (numInputChannels >= 2 ? 1 : 0), n);

    {
        const float* in = buffer.getReadPointer (0);
        float peak = 0.0f;
        for (int i = 0; i < n; ++i)
            if (std::isfinite (in[i]))
                peak = juce::jmax (peak, std::abs (in[i]));
        inputLevel = peak > inputLevel ? 0.5f * inputLevel + 0.5f * peak : inputLevel * 0.995f;
    }

    const Routing routing = numInputChannels < 2 ? Routing::mono
                          : (snapshot.stereoMode.load (relaxed) == 1 ? Routing::dual : Routing::midSide);
    runAnalysis (buffer, routing, n);

    trackChordAndKey (n);
    renderHarmony (n);

    if (latencyMode.load (relaxed) == 2)
        chooseMelodyNote();

    buffer.clear();

    const bool stereoOut = numOutputChannels >= 2;
    const bool panning = stereoOut && snapshot.panEnabled.load (relaxed);
    if (panning)
    {
        varelle::NotePanner::Settings settings;
        settings.mode = snapshot.panMode.load (relaxed);
        settings.hardness = snapshot.panHardness.load (relaxed);
        settings.glide = snapshot.panGlide.load (relaxed);
        settings.spread = snapshot.panSpread.load (relaxed);
        settings.lowNote = snapshot.panLowNote.load (relaxed);
        settings.centerNote = snapshot.panCenterNote.load (relaxed);
        settings.highNote = snapshot.panHighNote.load (relaxed);
        notePanner.computeTargets (settings, noteSeparator.currentFrame);
        panGlide = varelle::NotePanner::glideCoefficient (settings);
    }

    const bool zoneStageRuns = stereoOut && zoneFxEnabled.load (relaxed);
    if (zoneStageRuns)
    {
        for (auto& zb : zoneBuffers)
            zb.clear (0, n);
        reverbSendBuffer.clear (0, n);
        const float bpm = hostBpm.load (relaxed);
        for (int z = 0; z < p::kNumZones; ++z)
            zoneFx[(size_t) z].updateFromParams (zones[(size_t) z], bpm);
    }

    capturingStems = captureStems && stereoOut;
    if (capturingStems)
        for (auto& stem : stems)
            stem.clear (0, n);

    sumChannels (buffer, routing, zoneStageRuns, panning, n);

    if (zoneStageRuns)
        runZoneStage (buffer, n);

    mixHarmony (buffer, n);

    {
        varelle::OutputStage::Settings settings;
        settings.panEnabled = snapshot.panEnabled.load (relaxed);
        settings.stereoWidth = snapshot.stereoWidth.load (relaxed);
        settings.masterPan = snapshot.masterPan.load (relaxed);
        settings.outputGainDb = snapshot.outputGainDb.load (relaxed);
        settings.wetDryMix = snapshot.wetDryMix.load (relaxed);
        settings.reverbMix = snapshot.reverbMix.load (relaxed);
        settings.reverbSize = snapshot.reverbSize.load (relaxed);
        outputStage.process (buffer.getWritePointer (0), stereoOut ? buffer.getWritePointer (1) : nullptr,
                             numOutputChannels, n, settings, routing == Routing::midSide ? sideScratch.data() : nullptr,
                             zoneStageRuns ? &reverbSendBuffer : nullptr, reverb);
    }

    midiOutput.process (channelOutputsLeft.data(), n, chordTracker.currentChord, chordDetector.keyRoot.load (relaxed),
                        chordDetector.keyQuality.load (relaxed), midi, pieceOffset);

    if (numInputChannels >= 2 && stereoOut && snapshot.flipLR.load (relaxed))
    {
        float* l = buffer.getWritePointer (0);
        float* r = buffer.getWritePointer (1);
        for (int i = 0; i < n; ++i)
            std::swap (l[i], r[i]);
    }

    if (stereoOut)
        outputStage.updateMeters (buffer.getReadPointer (0), buffer.getReadPointer (1), n);
}

void VarelleProcessor::renderHarmony (int n) noexcept
{
    // The voices are made from the input's mid delayed by the latency, so that they sound
    // together with the processed signal they join (NaN and infinities read as silence). With
    // the voices off the engine only clears its bus and reads no source.
    if (harmony.harmonyEnabled.load (std::memory_order_relaxed))
        outputStage.readDelayedMid (harmonyMid.data(), n);
    harmony.render (harmonyMid.data(), channelOutputsLeft.data() + kNumRoutedChannels, n, noteSeparator.currentFrame,
                    chordTracker.currentChord, harmonyLeft.data(), harmonyRight.data());
}

void VarelleProcessor::mixHarmony (juce::AudioBuffer<float>& buffer, int n) noexcept
{
    // The voices join the wet signal, so wet/dry, master pan, filters and gain apply to them;
    // solo leaves them alone in the output.
    if (! harmony.harmonyEnabled.load (std::memory_order_relaxed))
        return;

    const bool solo = harmony.harmonySolo.load (std::memory_order_relaxed);
    const int channels = juce::jmin (2, buffer.getNumChannels());
    for (int ch = 0; ch < channels; ++ch)
    {
        const float* bus = ch == 0 ? harmonyLeft.data() : harmonyRight.data();
        if (solo)
            buffer.copyFrom (ch, 0, bus, n);
        else
            buffer.addFrom (ch, 0, bus, n);
    }
}

void VarelleProcessor::trackChordAndKey (int n)
{
    const auto& frame = noteSeparator.currentFrame;
    chordTracker.update (frame, inputLevel, n, chordDetector);

    if (autoKeyEnabled.load (std::memory_order_relaxed))
    {
        keyTracker.update (frame);
        const int root = keyTracker.trackedRoot(), quality = keyTracker.trackedQuality();
        // A dropped key is not published: the last published key stays.
        if (root >= 0 && root <= 11
            && (root != chordDetector.keyRoot.load (std::memory_order_relaxed)
                || quality != chordDetector.keyQuality.load (std::memory_order_relaxed)))
            setKey (root, quality);
    }

    if (blockObserver)
        blockObserver (chordTracker.currentChord, chordDetector.keyRoot.load(), chordDetector.keyQuality.load());
}

void VarelleProcessor::updateDetectionEngine()
{
    const int choice = detectionEngineParam != nullptr ? (int) detectionEngineParam->convertFrom0to1 (detectionEngineParam->getValue()) : 0;
    int effective = p::engineClassical;
    if (isNeuralUsable() && (choice == p::engineAuto || choice == p::engineNeural))
        effective = choice;

    if (effective != noteSeparator.engineSelect.load (std::memory_order_relaxed))
    {
        noteSeparator.engineSelect = effective;
        reportLatency (true);
    }
}

void VarelleProcessor::applyDetectionPreset()
{
    const int preset = detectionPresetParam != nullptr ? (int) detectionPresetParam->convertFrom0to1 (detectionPresetParam->getValue()) : 0;
    if (preset != appliedDetectionPreset)
    {
        noteSeparator.applyDetectionPreset (varelle::detectionPreset (preset));
        appliedDetectionPreset = preset;
    }
}

void VarelleProcessor::takeParameterSnapshot()
{
    auto& s = snapshot;
    s.panEnabled.store (toBool (handles.panEnabled), std::memory_order_relaxed);
    s.panMode.store (toInt (handles.panMode), std::memory_order_relaxed);
    s.panHardness.store (toFloat (handles.panHardness), std::memory_order_relaxed);
    s.panGlide.store (toFloat (handles.panGlide), std::memory_order_relaxed);
    s.panSpread.store (toFloat (handles.panSpread), std::memory_order_relaxed);
    s.panLowNote.store (toInt (handles.panLowNote), std::memory_order_relaxed);
    s.panCenterNote.store (toInt (handles.panCenterNote), std::memory_order_relaxed);
    s.panHighNote.store (toInt (handles.panHighNote), std::memory_order_relaxed);
    s.stereoMode.store (toInt (handles.stereoMode), std::memory_order_relaxed);
    s.stereoWidth.store (toFloat (handles.stereoWidth), std::memory_order_relaxed);
    s.outputWidth.store (toFloat (handles.outputWidth), std::memory_order_relaxed);
    s.masterPan.store (toFloat (handles.masterPan), std::memory_order_relaxed);
    s.flipLR.store (toBool (handles.flipLR), std::memory_order_relaxed);
    s.outputGainDb.store (toFloat (handles.outputGainDb), std::memory_order_relaxed);
    s.wetDryMix.store (toFloat (handles.wetDryMix), std::memory_order_relaxed);
    s.reverbMix.store (toFloat (handles.reverbMix), std::memory_order_relaxed);
    s.reverbSize.store (toFloat (handles.reverbSize), std::memory_order_relaxed);
    zoneFxEnabled.store (toBool (handles.zoneFxEnabled), std::memory_order_relaxed);
    s.midiOffset.store (toInt (handles.midiOffset), std::memory_order_relaxed);
    autoKeyEnabled.store (toBool (handles.autoKey), std::memory_order_relaxed);

    for (int z = 0; z < p::kNumZones; ++z)
    {
        auto& zone = zones[(size_t) z];
        const auto* h = handles.zone[z];
        zone.eqLowGain.store (toFloat (h[p::zoneEqLow]), std::memory_order_relaxed);
        zone.eqMidGain.store (toFloat (h[p::zoneEqMid]), std::memory_order_relaxed);
        zone.eqHighGain.store (toFloat (h[p::zoneEqHigh]), std::memory_order_relaxed);
        zone.volume.store (toFloat (h[p::zoneVolume]), std::memory_order_relaxed);
        zone.reverbSend.store (toFloat (h[p::zoneReverbSend]), std::memory_order_relaxed);
        zone.delayTimeMs.store (toFloat (h[p::zoneDelayTime]), std::memory_order_relaxed);
        zone.delayFeedback.store (toFloat (h[p::zoneDelayFeedback]), std::memory_order_relaxed);
        zone.delayMix.store (toFloat (h[p::zoneDelayMix]), std::memory_order_relaxed);
    }
}

void VarelleProcessor::handleTransport (int numSamples)
{
    auto* head = getPlayHead();
    if (head == nullptr)
        return;

    const auto position = head->getPosition();
    if (! position.hasValue())
        return;

    const bool playing = position->getIsPlaying();
    const auto time = position->getTimeInSamples();
    // Pieces of one host block share its position; each piece starts further on.
    const juce::int64 now = time.hasValue() ? *time + pieceOffset : -1;

    if (playing)
    {
        const bool continuous = wasPlaying
                             && (now < 0 || lastTimeInSamples < 0 || std::llabs (now - lastTimeInSamples) <= 2LL * numSamples);
        if (! continuous)
            resetAnalysisHistory();
    }

    wasPlaying = playing;
    lastTimeInSamples = now;

    if (const auto bpm = position->getBpm(); bpm.hasValue() && std::isfinite (*bpm) && *bpm > 0.0)
        hostBpm.store ((float) *bpm, std::memory_order_relaxed);
}

void VarelleProcessor::resetAnalysisHistory()
{
    stftEngine.reset();
    noteSeparator.reset();
    notePanner.reset();
    chordTracker.reset();
    harmony.reset();
    midiOutput.reset();
    // The histogram starts again; the published key stays until a new one wins.
    if (autoKeyEnabled.load (std::memory_order_relaxed))
        keyTracker.reset();
}

void VarelleProcessor::chooseMelodyNote()
{
    // MELODY mode follows one key: the highest, the lowest or the most confident one.
    const auto& frame = noteSeparator.currentFrame;
    const int selection = melodySelection.load (std::memory_order_relaxed);
    int chosen = -1;
    for (int key = 0; key < kNumKeys; ++key)
    {
        if (! frame.notes[key].active)
            continue;
        if (chosen < 0 || selection == 0
            || (selection == 2 && frame.notes[key].confidence > frame.notes[chosen].confidence))
            chosen = key;
        if (selection == 1)
            break;
    }
    melodyNote.store (chosen, std::memory_order_relaxed);
}

void VarelleProcessor::writeBypassLines (const juce::AudioBuffer<float>& buffer, int numInputChannels, int numSamples) noexcept
{
    const int length = (int) bypassLines[0].size();
    if (length == 0)
        return;

    const float* inL = buffer.getReadPointer (0);
    const float* inR = numInputChannels >= 2 ? buffer.getReadPointer (1) : inL;
    int d = bypassWritePos;
    for (int i = 0; i < numSamples; ++i)
    {
        bypassLines[0][(size_t) d] = inL[i];
        bypassLines[1][(size_t) d] = inR[i];
        d = (d + 1) % length;
    }
    bypassWritePos = d;
}

void VarelleProcessor::processBlockBypassed (juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const int n = buffer.getNumSamples();
    const int length = (int) bypassLines[0].size();
    const int latency = getLatencySamples();
    if (n <= 0 || latency <= 0 || length <= latency)
        return;

    // A mono input feeds both lines; the second output channel may hold anything on entry.
    const int numChannels = buffer.getNumChannels();
    const bool monoInput = juce::jmin (getTotalNumInputChannels(), numChannels) < 2;
    float* ch0 = buffer.getWritePointer (0);
    float* ch1 = numChannels >= 2 ? buffer.getWritePointer (1) : nullptr;

    int d = bypassWritePos;
    for (int i = 0; i < n; ++i)
    {
        const int readPos = (d - latency + length) % length;
        const float in0 = ch0[i];
        const float in1 = ch1 != nullptr && ! monoInput ? ch1[i] : in0;

        ch0[i] = bypassLines[0][(size_t) readPos];
        if (ch1 != nullptr)
            ch1[i] = bypassLines[1][(size_t) readPos];

        bypassLines[0][(size_t) d] = in0;
        bypassLines[1][(size_t) d] = in1;
        d = (d + 1) % length;
    }
    bypassWritePos = d;
}

//==============================================================================
void VarelleProcessor::runAnalysis (juce::AudioBuffer<float>& buffer, Routing routing, int n)
{
    const float* inL = buffer.getReadPointer (0);

    switch (routing)
    {
        case Routing::dual:
        {
            const float* inR = buffer.getReadPointer (1);
            copyFinite (midScratch.data(), inL, n);
            copyFinite (sideScratch.data(), inR, n);
            stftEngine.processBlockStereo (midScratch.data(), sideScratch.data(),
                                           channelOutputsLeft.data(), channelOutputsRight.data(), n);
            break;
        }
        case Routing::midSide:
        {
            const float* inR = buffer.getReadPointer (1);
            for (int i = 0; i < n; ++i)
            {
                const float l = std::isfinite (inL[i]) ? inL[i] : 0.0f;
                const float r = std::isfinite (inR[i]) ? inR[i] : 0.0f;
                midScratch[(size_t) i] = 0.5f * (l + r);
                sideScratch[(size_t) i] = 0.5f * (l - r);
            }
            stftEngine.processBlock (midScratch.data(), channelOutputsLeft.data(), n);
            break;
        }
        case Routing::mono:
        default:
            copyFinite (midScratch.data(), inL, n);
            stftEngine.processBlock (midScratch.data(), channelOutputsLeft.data(), n);
            break;
    }
}

void VarelleProcessor::sumChannels (juce::AudioBuffer<float>& buffer, Routing routing, bool zoneStageRuns, bool panning, int n)
{
    bool anySolo = false;
    for (const auto& s : noteSoloed)
        anySolo = anySolo || s.load (std::memory_order_relaxed);

    // Zone bounds are read once per block.
    int zoneLow[p::kNumZones], zoneHigh[p::kNumZones];
    for (int z = 0; z < p::kNumZones; ++z)
    {
        zoneLow[z] = zones[(size_t) z].lowNote.load (std::memory_order_relaxed);
        zoneHigh[z] = zones[(size_t) z].highNote.load (std::memory_order_relaxed);
    }

    const bool monoOutput = buffer.getNumChannels() < 2;

    for (int c = 0; c < kNumRoutedChannels; ++c)
    {
        if (anySolo ? ! noteSoloed[(size_t) c].load (std::memory_order_relaxed)
                    : noteMuted[(size_t) c].load (std::memory_order_relaxed))
            continue;

        float* left = nullptr;
        float* right = nullptr;

        if (zoneStageRuns)
        {
            const int z = zoneForChannel (c, zoneLow, zoneHigh);
            if (z >= 0)
            {
                left = zoneBuffers[(size_t) z].getWritePointer (0);
                right = zoneBuffers[(size_t) z].getWritePointer (1);
            }
        }

        if (left == nullptr && capturingStems)
        {
            // Stems: without the zone stage the keys still split by the zone ranges.
            int stem = kNumStems - 1;
            if (! zoneStageRuns)
                if (const int z = zoneForChannel (c, zoneLow, zoneHigh); z >= 0)
                    stem = z;
            left = stems[(size_t) stem].getWritePointer (0);
            right = stems[(size_t) stem].getWritePointer (1);
        }

        if (left == nullptr)
        {
            left = buffer.getWritePointer (0);
            right = monoOutput ? nullptr : buffer.getWritePointer (1);
        }

        addChannel (left, right, c, routing, panning && c < kNumKeys && right != nullptr, panGlide, n);
    }

    if (capturingStems)
        for (int stem = zoneStageRuns ? kNumStems - 1 : 0; stem < kNumStems; ++stem)
            for (int ch = 0; ch < juce::jmin (2, buffer.getNumChannels()); ++ch)
                buffer.addFrom (ch, 0, stems[(size_t) stem], ch, 0, n);
}

int VarelleProcessor::zoneForChannel (int channel, const int* lowNotes, const int* highNotes) noexcept
{
    // Channel 88 carries no key and always goes to the main output.
    if (channel < 0 || channel >= kNumKeys)
        return -1;

    const int note = channel + 21;
    for (int z = 0; z < varelle::params::kNumZones; ++z)
        if (lowNotes[z] <= note && note <= highNotes[z])
            return z;
    return -1;
}

void VarelleProcessor::addChannel (float* left, float* right, int c, Routing routing, bool pan, float glide, int n) noexcept
{
    const float* l = channelOutputsLeft[(size_t) c];
    const float* r = routing == Routing::dual ? channelOutputsRight[(size_t) c] : nullptr;

    if (pan)
    {
        notePanner.addChannel (c, l, r, panSide.load (std::memory_order_relaxed), glide, left, right, n);
        return;
    }

    juce::FloatVectorOperations::add (left, l, n);
    if (right != nullptr)
        juce::FloatVectorOperations::add (right, r != nullptr ? r : l, n);
}

void VarelleProcessor::runZoneStage (juce::AudioBuffer<float>& buffer, int n)
{
    bool anyZoneSolo = false;
    for (const auto& s : zoneSoloed)
        anyZoneSolo = anyZoneSolo || s.load (std::memory_order_relaxed);

    float* outL = buffer.getWritePointer (0);
    float* outR = buffer.getWritePointer (1);

    for (int z = 0; z < p::kNumZones; ++z)
    {
        // Every zone's chain runs (its delay tail goes on) even while another zone is soloed.
        zoneFx[(size_t) z].process (zoneBuffers[(size_t) z], reverbSendBuffer, n);
        if (anyZoneSolo && ! zoneSoloed[(size_t) z].load (std::memory_order_relaxed))
            continue;

        const auto& zone = zones[(size_t) z];
        const float gain = std::pow (10.0f, zone.volume.load (std::memory_order_relaxed) / 20.0f);
        const float b = zone.balance.load (std::memory_order_relaxed);
        const float angle = b * juce::MathConstants<float>::halfPi;
        const float cosB = std::cos (angle), sinB = std::sin (angle);

        // Cross-fed law: at the centre each side keeps cos(pi/4) of its own signal and takes
        // 1 - sin(pi/4) of the other, so a zone's image is narrowed, not passed at full width.
        const float* zl = zoneBuffers[(size_t) z].getReadPointer (0);
        const float* zr = zoneBuffers[(size_t) z].getReadPointer (1);
        float* destL = outL;
        float* destR = outR;
        if (capturingStems)
        {
            destL = stems[(size_t) z].getWritePointer (0);
            destR = stems[(size_t) z].getWritePointer (1);
        }
        for (int i = 0; i < n; ++i)
        {
            destL[i] += gain * (cosB * zl[i] + (1.0f - sinB) * zr[i]);
            destR[i] += gain * (sinB * zr[i] + (1.0f - cosB) * zl[i]);
        }
        if (capturingStems)
        {
            buffer.addFrom (0, 0, stems[(size_t) z], 0, 0, n);
            buffer.addFrom (1, 0, stems[(size_t) z], 1, 0, n);
        }
    }
}

void VarelleProcessor::setKey (int root, int quality)
{
    chordDetector.keyRoot.store (root);
    chordDetector.keyQuality.store (quality);
    harmony.keyRoot.store (root);
    harmony.keyQuality.store (quality);
    noteSeparator.setKey (root, quality);
}

//==============================================================================
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new VarelleProcessor();
}

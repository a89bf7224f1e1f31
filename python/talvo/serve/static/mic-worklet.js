// Microphone capture on the audio thread: 16-bit PCM in chunks of 100 ms, posted to the page.
"use strict";

class TalvoMic extends AudioWorkletProcessor {
  constructor() {
    super();
    this.size = Math.round(sampleRate / 10);
    this.chunk = new Int16Array(this.size);
    this.filled = 0;
  }

  process(inputs) {
    const channel = inputs[0] && inputs[0][0];
    if (channel) {
      for (let i = 0; i < channel.length; i++) {
        const s = Math.max(-1, Math.min(1, channel[i]));
        this.chunk[this.filled++] = s < 0 ? s * 32768 : s * 32767;
        if (this.filled === this.size) {
          // Handed over, not copied: the sent array is empty (detached) from here on.
          this.port.postMessage(this.chunk.buffer, [this.chunk.buffer]);
          this.chunk = new Int16Array(this.size);
          this.filled = 0;
        }
      }
    }
    return true;
  }
}

registerProcessor("talvo-mic", TalvoMic);


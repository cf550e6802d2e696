// Placeholder until the scripted operator lands.
